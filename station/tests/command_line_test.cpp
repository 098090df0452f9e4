// The command line: what each accepted line means, each refusal and its
// words, and the program's answers before any window (help, version, no
// display, bad usage) as a child process.

#include "station/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

#include "kit/child_process.h"

namespace oxu::station {
namespace {

using Ports = std::vector<runs::PortRequest>;

struct Accepted {
    std::vector<std::string> args;
    Ports ports;
    std::optional<std::string> image{};
    int baud = 38400;
    int retries = 0;
    std::optional<std::string> log{};
};

TEST(StationCommandLine, AcceptsThePortsAndOptionsOfAnUpdate) {
    const Accepted cases[] = {
        {{}, {}, std::nullopt},
        {{"fw.bin"}, {}, "fw.bin"},
        {{"--port", "3", "--port=1", "fw.bin"}, {{3, {}}, {1, {}}}, "fw.bin"},
        {{"--ports", "1-3,7"}, {{1, {}}, {2, {}}, {3, {}}, {7, {}}}, std::nullopt},
        {{"--device", "/dev/a", "--device", "/dev/b"},
         {{1, "/dev/a"}, {2, "/dev/b"}},
         std::nullopt},
        {{"--port", "5", "--device", "/dev/a"}, {{5, "/dev/a"}}, std::nullopt},
        {{"--baud", "9600", "--retry", "2", "--log", "a.jsonl", "--", "-fw.bin"},
         {},
         "-fw.bin",
         9600,
         2,
         "a.jsonl"},
    };
    for (const Accepted& accepted : cases) {
        std::ostringstream out, err;
        const auto parsed = parseStationCommandLine(accepted.args, out, err);
        ASSERT_TRUE(std::holds_alternative<StationOptions>(parsed)) << err.str();
        const auto& options = std::get<StationOptions>(parsed);
        EXPECT_EQ(options.ports, accepted.ports);
        EXPECT_EQ(options.image, accepted.image);
        EXPECT_EQ(options.baud, accepted.baud);
        EXPECT_EQ(options.retries, accepted.retries);
        EXPECT_EQ(options.logPath, accepted.log);
        EXPECT_EQ(out.str() + err.str(), "");
    }
}

TEST(StationCommandLine, RefusesBadUsageWithItsReason) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--frobnicate"}, "frobnicate"},
        {{"--port"}, "port"},
        {{"--port", "17"}, "--port must be a number from 1 to 16, not \"17\""},
        {{"--port", "0x1"}, "not \"0x1\""},
        {{"--ports", "4-2"}, "--ports must list ports"},
        {{"--ports", "1,,2"}, "--ports must list ports"},
        {{"--port", "2", "--port", "2"}, "port 2 is given twice"},
        {{"--ports", "1-2", "--device", "/dev/a"}, "2 ports and 1 devices"},
        {{"--device="}, "--device needs a device path"},
        {{"--baud", "115200"}, "--baud must be 9600, 19200 or 38400"},
        {{"--retry", "101"}, "--retry must be a number from 0 to 100"},
        {{"--log="}, "--log needs a file path"},
        {{"a.bin", "b.bin"}, "one image at a time"},
    };
    for (const auto& [args, reason] : cases) {
        std::ostringstream out, err;
        const auto parsed = parseStationCommandLine(args, out, err);
        ASSERT_TRUE(std::holds_alternative<int>(parsed)) << args[0];
        EXPECT_EQ(std::get<int>(parsed), kExitUsage);
        EXPECT_NE(err.str().find(reason), std::string::npos) << err.str();
        EXPECT_NE(err.str().find("Usage: oxu-station"), std::string::npos);
        EXPECT_EQ(out.str(), "");
    }
}

TEST(StationProgram, AnswersBeforeAnyWindow) {
    // No display at all, and no platform that would do without one.
    const kit::Environment noDisplay{
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: oxu-station", ""},
        {{"--port", "99", "--help"}, 0, "--log FILE", ""},
        {{"--version"}, 0, "oxu-station 1.", ""},
        {{"--bogus"}, kExitUsage, "", "Usage: oxu-station"},
        {{"--device", "/dev/null", "--port", "2"}, kExitNoDisplay, "", "no display"},
        {{"--device", "/dev/null", "--device", "/dev/null"},
         kExitUsage,
         "",
         "COM 1 and COM 2 are the same device (/dev/null)"},
    };
    for (const Case& c : cases) {
        const kit::ProgramResult result =
            kit::runProgram(OXU_STATION_EXECUTABLE, c.args, noDisplay, std::chrono::seconds(30));
        EXPECT_EQ(result.exitCode, c.exitCode) << c.args[0] << ": " << result.err;
        EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace oxu::station
