// oxu-update with no port named, on this machine, traced: it opens no
// /dev/ttyS* and no port at all, and stops as bad usage. An empty image
// stops before the named port opens.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "kit/child_process.h"
#include "serial/usb_adapter.h"
#include "tests/kit/programs.h"
#include "tests/kit/pty_pair.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using kit::ProgramResult;
using kit::runProgram;

#ifdef OXU_STRACE
const std::string kStrace = OXU_STRACE;
#else
const std::string kStrace;
#endif

// The program run as given, under strace when there is one; the paths it
// opened (openat, in every thread) land in openedLog.
ProgramResult runTraced(const std::vector<std::string>& args, const std::string& openedLog) {
    if (kStrace.empty())
        return runProgram(kUpdate, args);
    std::vector<std::string> traced{"-f", "-qq", "-e", "trace=openat", "-o", openedLog, kUpdate};
    traced.insert(traced.end(), args.begin(), args.end());
    return runProgram(kStrace, traced);
}

// The lines of the trace that open a path starting with prefix.
std::string openingsOf(const std::string& openedLog, const std::string& prefix) {
    std::istringstream in(readText(openedLog));
    std::string found;
    for (std::string line; std::getline(in, line);) {
        if (line.find("openat(") != line.npos && line.find("\"" + prefix) != line.npos)
            found += line + '\n';
    }
    return found;
}

TEST(DefaultPort, WithNoUsbAdapterStopsListingTheCandidatesAndOpensNoUart) {
    // With an adapter plugged in, the run would go ahead on it.
    if (!listUsbSerialDevices().empty())
        GTEST_SKIP() << "this machine has a USB serial adapter";
    TempDir files;
    const std::string image = files.file("image.bin", patterned(300));
    const std::string trace = files.path() + "/openat.log";

    const ProgramResult run = runTraced({image}, trace);
    EXPECT_EQ(run.exitCode, 64) << run.err;
    EXPECT_NE(run.err.find("no USB serial adapter is present"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--device /dev/serial/by-id/"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--port N"), std::string::npos) << run.err;
    if (kStrace.empty())
        GTEST_SKIP() << "no strace: the opened files were not checked";
    EXPECT_EQ(openingsOf(trace, "/dev/ttyS"), "");
    EXPECT_EQ(openingsOf(trace, "/dev/tty"), "") << "no port at all was opened";
}

TEST(EmptyImage, StopsBeforeTheNamedPortOpens) {
    TempDir files;
    PtyPair line;
    const std::string image = files.file("empty.bin", {});
    const std::string trace = files.path() + "/openat.log";

    const ProgramResult run = runTraced({"--device", line.path(), image}, trace);
    EXPECT_EQ(run.exitCode, 64) << run.err;
    EXPECT_NE(run.err.find("\"" + image + "\" is empty"), std::string::npos) << run.err;
    if (!kStrace.empty()) {
        EXPECT_EQ(openingsOf(trace, line.path()), "");
    }
}

}  // namespace
}  // namespace oxu::testkit
