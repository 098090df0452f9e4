// oxu-update run as a user runs it, against the simulated device on a
// pseudo-terminal: the real engine, the real serial layer, the real exit
// codes and texts.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QSerialPort>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/programs.h"
#include "tests/kit/pty_pair.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0)
            lines.push_back(line);
    }
    return lines;
}

class OxuUpdateTest : public testing::Test {
protected:
    void requireSimulator() {
        if (kSimulator.empty())
            GTEST_SKIP() << "oxu-device-sim is not part of this build";
    }

    // A file of size bytes that differ from page to page.
    std::string writeImage(const std::string& name, std::size_t size) {
        return m_files.file(name, patterned(size));
    }

    std::string pathTo(const std::string& name) const { return m_files.path() + "/" + name; }

    TempDir m_files;
};

// ---- complete updates -------------------------------------------------------

struct CompleteCase {
    const char* name;
    std::size_t size;
    bool throughPortVariable;  // OXU_COM3 + --port 3 rather than --device
    const char* baud;
};

class CompletesUpdate : public OxuUpdateTest, public testing::WithParamInterface<CompleteCase> {};

TEST_P(CompletesUpdate, DeliversTheFileByteExactWithALinePerPage) {
    requireSimulator();
    const CompleteCase& c = GetParam();
    const std::string image = writeImage("fw.bin", c.size);
    const std::string saved = pathTo("saved.bin");
    DeviceSim device(kSimulator, {"--image-size", std::to_string(c.size), "--save", saved});

    std::vector<std::string> args{"--baud", c.baud, "--timeout", "5"};
    Environment env;
    if (c.throughPortVariable) {
        env.push_back({"OXU_COM3", device.path()});
        args.insert(args.end(), {"--port", "3"});
    } else {
        args.insert(args.end(), {"--device", device.path()});
    }
    args.push_back(image);
    const ProgramResult run = runProgram(kUpdate, args, env);

    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "oxu-update: complete\n"), 1) << run.err;
    // Not on a terminal: one plain line per page, in order.
    const std::size_t pages = (c.size + 255) / 256;
    const auto lines = linesStartingWith(run.out, "page ");
    ASSERT_EQ(lines.size(), pages) << run.out;
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    char last[48];
    std::snprintf(last, sizeof last, "page %03zu/%03zu", pages, pages);
    EXPECT_EQ(lines.back().rfind(last, 0), 0u) << lines.back();

    const ProgramResult sim = device.finish();
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_NE(findLine(sim.out, "verdict:").find("verdict: ok"), std::string::npos) << sim.out;
    EXPECT_EQ(readText(saved), readText(image));
}

INSTANTIATE_TEST_SUITE_P(
    Images, CompletesUpdate,
    testing::Values(CompleteCase{"ThousandBytesByDevice", 1000, false, "38400"},
                    CompleteCase{"OneByteAt19200", 1, false, "19200"},
                    CompleteCase{"LargestImageByPortNumber", 65'280, true, "9600"}),
    [](const auto& info) { return info.param.name; });

struct DeviceHabit {
    const char* name;
    std::vector<std::string> simulatorFlags;
    const char* message;  // shown once on the way, or nullptr
};

class CompletesWhateverTheDeviceAsks : public OxuUpdateTest,
                                       public testing::WithParamInterface<DeviceHabit> {};

TEST_P(CompletesWhateverTheDeviceAsks, ByteExact) {
    requireSimulator();
    const DeviceHabit& c = GetParam();
    const std::string image = writeImage("fw.bin", 2'000);
    const std::string saved = pathTo("saved.bin");
    std::vector<std::string> flags{"--image-size", "2000", "--save", saved};
    flags.insert(flags.end(), c.simulatorFlags.begin(), c.simulatorFlags.end());
    DeviceSim device(kSimulator, flags);

    const ProgramResult run =
        runProgram(kUpdate, {"--timeout", "5", "--device", device.path(), image});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    if (c.message != nullptr) {
        EXPECT_EQ(countOccurrences(run.err, c.message), 1) << run.err;
    }
    const ProgramResult sim = device.finish();
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_EQ(readText(saved), readText(image));
}

INSTANTIATE_TEST_SUITE_P(
    Habits, CompletesWhateverTheDeviceAsks,
    testing::Values(DeviceHabit{"SplitRequests", {"--split"}, nullptr},
                    DeviceHabit{"ReverseOrder", {"--order", "reverse"}, nullptr},
                    DeviceHabit{"RandomOrder", {"--order", "random", "--seed", "7"}, nullptr},
                    DeviceHabit{"EveryPageTwice", {"--order", "repeat"}, nullptr},
                    DeviceHabit{"PageZeroFirst",
                                {"--page-zero"},
                                "the device asked for page 0; pages start at 1"}),
    [](const auto& info) { return info.param.name; });

TEST_F(OxuUpdateTest, TraceShowsBothDirectionsFrameByFrame) {
    requireSimulator();
    const std::string image = writeImage("fw.bin", 300);
    DeviceSim device(kSimulator, {"--image-size", "300"});
    const ProgramResult run =
        runProgram(kUpdate, {"--trace", "--timeout", "5", "--device", device.path(), image});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    // The header of a 2-page image, then each request and its page frame as
    // one line although the page goes out one byte per write.
    EXPECT_NE(run.err.find("] > AA 02 00 AC  (4 bytes)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("] < AA 01  (2 bytes)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("(258 bytes)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("(46 bytes)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("] < 55  (1 byte)"), std::string::npos) << run.err;
    EXPECT_EQ(device.finish().exitCode, 0);
}

TEST_F(OxuUpdateTest, ADeviceThatSpeaksAgainBeforeTheTimeoutStillCompletes) {
    requireSimulator();
    const std::string image = writeImage("fw.bin", 1000);
    DeviceSim device(kSimulator,
                     {"--image-size", "1000", "--stop-after", "2", "--resume-after", "1.5"});
    const ProgramResult run =
        runProgram(kUpdate, {"--timeout", "10", "--device", device.path(), image});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("oxu-update: transfer interrupted\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("oxu-update: complete\n"), std::string::npos) << run.err;
    EXPECT_EQ(device.finish().exitCode, 0);
}

// ---- faults -----------------------------------------------------------------

struct FaultCase {
    const char* name;
    std::vector<std::string> simulatorFlags;
    int exitCode;
    const char* message;
    const char* errorKind;  // as the attempt's JSON gives it
};

class ReportsFault : public OxuUpdateTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(ReportsFault, WithItsExitCodeAndMessageOnce) {
    requireSimulator();
    const FaultCase& c = GetParam();
    const std::string image = writeImage("fw.bin", 1000);
    std::vector<std::string> flags{"--image-size", "1000"};
    flags.insert(flags.end(), c.simulatorFlags.begin(), c.simulatorFlags.end());
    DeviceSim device(kSimulator, flags);

    const ProgramResult run =
        runProgram(kUpdate, {"--json", "--timeout", "1.5", "--device", device.path(), image});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(countOccurrences(run.err, c.message), 1) << run.err;
    EXPECT_EQ(run.err.find("oxu-update: complete\n"), std::string::npos) << run.err;
    ASSERT_NE(run.out.find("\"record\":\"attempt\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(std::string("\"error_kind\":") + c.errorKind), std::string::npos)
        << run.out;
    device.stop();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReportsFault,
    testing::Values(
        FaultCase{"SilentDevice", {"--silent"}, 2, "oxu-update: connection failed\n", "null"},
        FaultCase{"DeviceStopsPartWay",
                  {"--stop-after", "2"},
                  3,
                  "oxu-update: transfer interrupted\n",
                  "null"},
        FaultCase{"LineHungUp", {"--hangup-after", "2"}, 4, "was lost", "\"disconnected\""}),
    [](const auto& info) { return info.param.name; });

TEST_F(OxuUpdateTest, APortHeldByAnotherProgramIsReportedInUse) {
    requireSimulator();
    const std::string image = writeImage("fw.bin", 1000);
    DeviceSim device(kSimulator, {"--image-size", "1000"});
    QSerialPort holder;
    holder.setPortName(QString::fromStdString(device.path()));
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite)) << holder.errorString().toStdString();

    const ProgramResult run =
        runProgram(kUpdate, {"--json", "--trace", "--device", device.path(), image});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("could not start"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("in use"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("\"error_kind\":\"busy\""), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(device.path()), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("] >"), std::string::npos) << "nothing may be sent: " << run.err;
    holder.close();
    device.stop();
}

TEST_F(OxuUpdateTest, AMissingDeviceIsReportedWithItsPath) {
    const std::string image = writeImage("fw.bin", 10);
    const ProgramResult run =
        runProgram(kUpdate, {"--port", "5", "--device", pathTo("no-such-tty"), image});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("COM 5"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(pathTo("no-such-tty")), std::string::npos) << run.err;
}

TEST_F(OxuUpdateTest, BadFilesAreRefusedBeforeThePortOpens) {
    const std::string missing = pathTo("missing.bin");
    const std::string directory = m_files.path();
    struct Case {
        std::string file;
        const char* reason;
    };
    const Case cases[] = {
        {writeImage("big.bin", 65'281), "holds 65281 bytes"},
        {missing, "does not exist"},
        {directory, "not a regular file"},
    };
    for (const Case& c : cases) {
        // The device path does not exist either: trying the port would say so.
        const ProgramResult run =
            runProgram(kUpdate, {"--trace", "--device", pathTo("no-such-tty"), c.file});
        EXPECT_EQ(run.exitCode, 1) << c.file << ": " << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Cannot open"), std::string::npos) << run.err;
        EXPECT_EQ(countOccurrences(run.err, "\n"), 1) << "one line: " << run.err;
    }
}

// ---- interruption -----------------------------------------------------------

class ClosesOnSignal : public OxuUpdateTest, public testing::WithParamInterface<int> {};

TEST_P(ClosesOnSignal, ExitsWith130AndReleasesThePort) {
    const std::string image = writeImage("fw.bin", 1000);
    // A line that never answers and outlives the program.
    PtyPair line;
    ChildProcess update(kUpdate, {"--timeout", "60", "--device", line.path(), image});
    const std::string header = line.readDeviceEnd(4, 10s);
    ASSERT_EQ(header, std::string("\xAA\x04\x00\xAE", 4)) << update.output(Stream::Err);

    update.sendSignal(GetParam());
    const ProgramResult run = update.finish(20s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_NE(run.err.find("interrupted; closing COM 1"), std::string::npos) << run.err;

    // Qt's lock on the port is gone: another program can take it at once.
    QSerialPort next;
    next.setPortName(QString::fromStdString(line.path()));
    EXPECT_TRUE(next.open(QIODevice::ReadWrite)) << next.errorString().toStdString();
    next.close();
}

INSTANTIATE_TEST_SUITE_P(Signals, ClosesOnSignal, testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return info.param == SIGINT ? "Sigint" : "Sigterm";
                         });

// ---- download command -------------------------------------------------------

TEST_F(OxuUpdateTest, DownloadCommandSendsTheThreeBytesAtTheChosenBaud) {
    requireSimulator();
    DeviceSim device(kSimulator, {"--expect-download"});
    const ProgramResult run = runProgram(
        kUpdate, {"--download-command", "--yes", "--baud", "19200", "--device", device.path()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Do you want to send the Download Command?"), std::string::npos);

    const ProgramResult sim = device.finish();
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    const std::string report = findLine(sim.out, "download:");
    EXPECT_NE(report.find("bytes=2f55aa"), std::string::npos) << sim.out;
    EXPECT_NE(report.find("settings=19200,n,8,1"), std::string::npos) << sim.out;
}

struct Reply {
    const char* name;
    const char* typed;
    int exitCode;
    bool sent;
};

class AsksBeforeTheDownloadCommand : public OxuUpdateTest,
                                     public testing::WithParamInterface<Reply> {};

TEST_P(AsksBeforeTheDownloadCommand, OnATerminalAndSendsOnlyAfterYes) {
    requireSimulator();
    const Reply& c = GetParam();
    DeviceSim device(kSimulator, {"--expect-download"});
    PtyPair terminal;
    ChildProcess update(kUpdate, {"--download-command", "--device", device.path()}, {},
                        terminal.path());
    ASSERT_TRUE(update.waitForOutput(Stream::Err, "[Y/n]", 10s)) << update.output(Stream::Err);
    terminal.writeDeviceEnd(c.typed);
    const ProgramResult run = update.finish(20s);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    if (c.sent) {
        EXPECT_EQ(device.finish().exitCode, 0);
    } else {
        EXPECT_NE(run.err.find("not sent"), std::string::npos) << run.err;
        device.stop();
        EXPECT_EQ(findLine(device.finish().out, "download: ok"), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, AsksBeforeTheDownloadCommand,
                         testing::Values(Reply{"Yes", "y\n", 0, true},
                                         Reply{"EnterMeansYes", "\n", 0, true},
                                         Reply{"No", "no\n", 1, false},
                                         Reply{"AskedAgainUntilClear", "maybe\nn\n", 1, false}),
                         [](const auto& info) { return info.param.name; });

TEST_F(OxuUpdateTest, DownloadCommandFailureIsReportedWithoutSuccess) {
    const ProgramResult run = runProgram(
        kUpdate, {"--download-command", "--yes", "--port", "2", "--device", pathTo("no-tty")});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("Cannot open COM 2"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("sent to"), std::string::npos) << run.err;
}

// ---- usage ------------------------------------------------------------------

TEST_F(OxuUpdateTest, BadUsageExits64WithOneLineAndAHint) {
    const std::string image = writeImage("fw.bin", 10);
    const std::vector<std::vector<std::string>> lines = {
        {"--frobnicate", image},
        {"--port", "0", image},
        {"--port", "17", image},
        {"--baud", "57600", image},
        {"--timeout", "soon", image},
        {},
        // No terminal to confirm on, and no --yes.
        {"--download-command"},
    };
    for (const auto& args : lines) {
        const ProgramResult run = runProgram(kUpdate, args);
        std::string shown;
        for (const auto& arg : args)
            shown += arg + " ";
        EXPECT_EQ(run.exitCode, 64) << shown << run.err;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_NE(run.err.rfind("oxu-update: ", 0), std::string::npos) << shown << run.err;
    }
}

TEST_F(OxuUpdateTest, ListPortsShowsTheMappingOfEveryNumber) {
    const ProgramResult run =
        runProgram(kUpdate, {"--list-ports"}, {{"OXU_COM3", pathTo("my-tty")}});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::istringstream in(run.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 16u) << run.out;
    EXPECT_EQ(lines[2].rfind(" 3  " + pathTo("my-tty") + " (from OXU_COM3)", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("not present"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[15].rfind("16  ", 0), 0u) << lines[15];
}

TEST_F(OxuUpdateTest, VersionIsOnePointZero) {
    const ProgramResult run = runProgram(kUpdate, {"--version"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "oxu-update 1.00\n");
}

}  // namespace
}  // namespace oxu::testkit
