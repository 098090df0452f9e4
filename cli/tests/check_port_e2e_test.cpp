// oxu-update --check-port run as a user runs it, on pseudo-terminals: free,
// held by another updater, missing, and closed to the user.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/programs.h"
#include "tests/kit/pty_pair.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

ProgramResult checkPort(const std::vector<std::string>& args) {
    std::vector<std::string> line{"--check-port"};
    line.insert(line.end(), args.begin(), args.end());
    return runProgram(kUpdate, line);
}

TEST(CheckPort, AFreePseudoTerminalCanBeUsed) {
    PtyPair line;
    const ProgramResult run = checkPort({"--device", line.path()});
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(findLine(run.out, "device:"), "device: " + line.path() + " (COM 1)");
    EXPECT_EQ(findLine(run.out, "driver:"), "driver: none (a pseudo-terminal)");
    EXPECT_EQ(findLine(run.out, "in use:"), "in use: no");
    // This test holds the pty's master: it plays the device.
    EXPECT_EQ(
        findLine(run.out, "other end:").rfind("other end: PID " + std::to_string(::getpid()), 0),
        0u);
    EXPECT_NE(findLine(run.out, "ModemManager:"), "");
    EXPECT_NE(findLine(run.out, "brltty:"), "");
    EXPECT_EQ(findLine(run.out, "low latency:").rfind("low latency: not offered", 0), 0u);
    EXPECT_EQ(findLine(run.out, "RTS:").rfind("RTS: not offered", 0), 0u);
    EXPECT_EQ(findLine(run.out, "result:"), "result: COM 1 (" + line.path() + ") can be used");
    EXPECT_EQ(line.readDeviceEnd(1, 200ms), "") << "nothing may be sent";
}

TEST(CheckPort, APortHeldByAnotherUpdaterNamesIt) {
    const std::filesystem::path image =
        std::filesystem::temp_directory_path() / ("oxu-check-" + std::to_string(::getpid()));
    std::ofstream(image, std::ios::binary) << std::string(1000, '\x5A');
    DeviceSim device(kSimulator, {"--silent", "--timeout", "30"});
    ChildProcess holder(kUpdate, {"--timeout", "30", "--device", device.path(), image.string()});
    ASSERT_TRUE(holder.waitForOutput(Stream::Err, "sending", 10s)) << holder.output(Stream::Err);

    const ProgramResult run = checkPort({"--port", "2", "--device", device.path()});
    SCOPED_TRACE(run.out + run.err);
    const std::string named = "PID " + std::to_string(holder.pid()) + " (oxu-update)";
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(findLine(run.out, "in use:"),
              "in use: by " + named + ", which holds the lock file /var/lock/LCK..pts_" +
                  std::filesystem::path(device.path()).filename().string());
    EXPECT_EQ(findLine(run.out, "result:"), "result: COM 2 (" + device.path() + ") cannot be used");
    EXPECT_EQ(run.err, "oxu-update: Cannot open COM 2 (" + device.path() +
                           "): the port is in use by another program (Permission error while "
                           "locking the device); held by " +
                           named + "\n");

    holder.sendSignal(SIGTERM);
    EXPECT_EQ(holder.finish(20s).exitCode, 130);
    device.stop();
    std::filesystem::remove(image);
}

TEST(CheckPort, AMissingDeviceIsSaidToBeMissing) {
    const std::string path = "/dev/oxu-no-such-tty-" + std::to_string(::getpid());
    const ProgramResult run = checkPort({"--port", "3", "--device", path});
    SCOPED_TRACE(run.out + run.err);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(findLine(run.out, "device:"), "device: " + path + " (COM 3): does not exist");
    EXPECT_EQ(findLine(run.out, "access:"), "");
    EXPECT_EQ(findLine(run.out, "result:"), "result: COM 3 (" + path + ") cannot be used");
    EXPECT_NE(run.err.find("Cannot open COM 3 (" + path + "): the device does not exist"),
              std::string::npos);
}

TEST(CheckPort, ADeviceTheUserMayNotOpenNamesItsGroupAndTheFix) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run the check as another user";
    PtyPair line;
    ASSERT_EQ(::chown(line.path().c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(line.path().c_str(), 0600), 0);
    const ProgramResult run =
        runProgram("/usr/bin/setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                        kUpdate, "--check-port", "--device", line.path()});
    SCOPED_TRACE(run.out + run.err);
    if (findLine(run.out, "result:").empty())
        GTEST_SKIP() << "oxu-update cannot run as nobody here";
    EXPECT_EQ(run.exitCode, 1);
    const std::string access = findLine(run.out, "access:");
    EXPECT_EQ(access.rfind("access: denied for user nobody (crw------- root:root, Permission "
                           "denied); only its owner root may open it, not the root group",
                           0),
              0u);
    EXPECT_NE(access.find("add your user to the dialout group and log in again"),
              std::string::npos);
    // The open's own error gives the same reason, not the group alone.
    EXPECT_NE(run.err.find("access is denied; only its owner root may open it"), std::string::npos);
}

TEST(CheckPort, BadUsageExits64) {
    const std::vector<std::vector<std::string>> lines = {
        {"--check-port", "fw.bin"},
        {"--check-port", "--download-command", "--yes"},
        {"--list-ports", "--check-port"},
        {"--check-port", "--port", "17"},
    };
    for (const auto& args : lines) {
        const ProgramResult run = runProgram(kUpdate, args);
        EXPECT_EQ(run.exitCode, 64) << args[1] << run.err;
        EXPECT_EQ(run.out, "");
    }
    const ProgramResult help = runProgram(kUpdate, {"--help"});
    EXPECT_NE(help.out.find("\n  oxu-update --check-port [--port N | --device PATH]\n"),
              std::string::npos);
    EXPECT_NE(help.out.find("\n  --check-port        open the port"), std::string::npos);
}

}  // namespace
}  // namespace oxu::testkit
