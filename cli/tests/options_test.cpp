#include "cli/options.h"

#include <gtest/gtest.h>

namespace oxu::cli {
namespace {

using Args = std::vector<std::string>;
using namespace std::chrono_literals;

struct GoodLine {
    const char* name;
    Args args;
    Mode mode;
    int port;
    int baud;
    std::chrono::milliseconds timeout;
    std::string file;
};

class AcceptsCommandLine : public testing::TestWithParam<GoodLine> {};

TEST_P(AcceptsCommandLine, ParsesEveryField) {
    const GoodLine& line = GetParam();
    const Options options = parseCommandLine(line.args);
    EXPECT_EQ(options.mode, line.mode);
    EXPECT_EQ(options.port, line.port);
    EXPECT_EQ(options.baud, line.baud);
    EXPECT_EQ(options.timeout, line.timeout);
    EXPECT_EQ(options.file, line.file);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, AcceptsCommandLine,
    testing::Values(
        GoodLine{"DefaultsAsInTheWindow", {"fw.bin"}, Mode::Update, 1, 38400, 10s, "fw.bin"},
        GoodLine{"SeparateValues",
                 {"--port", "16", "--baud", "9600", "--timeout", "2", "fw.bin"},
                 Mode::Update,
                 16,
                 9600,
                 2s,
                 "fw.bin"},
        GoodLine{"InlineValues",
                 {"--port=3", "--baud=19200", "--timeout=1.5", "a.bin"},
                 Mode::Update,
                 3,
                 19200,
                 1500ms,
                 "a.bin"},
        GoodLine{
            "FileAfterOptions", {"a.bin", "--port", "2"}, Mode::Update, 2, 38400, 10s, "a.bin"},
        GoodLine{"DashDashEndsOptions", {"--", "--port"}, Mode::Update, 1, 38400, 10s, "--port"},
        GoodLine{"DownloadCommand",
                 {"--download-command", "--yes", "--baud", "19200"},
                 Mode::DownloadCommand,
                 1,
                 19200,
                 10s,
                 ""},
        GoodLine{"ListPorts", {"--list-ports"}, Mode::ListPorts, 1, 38400, 10s, ""},
        GoodLine{"CheckPort",
                 {"--check-port", "--port", "4", "--baud", "9600"},
                 Mode::CheckPort,
                 4,
                 9600,
                 10s,
                 ""},
        GoodLine{"HelpWinsOverBadInput", {"--port", "99", "--help"}, Mode::Help, 1, 38400, 10s, ""},
        GoodLine{"HelpWinsOverUnknownOption", {"--speed", "-h"}, Mode::Help, 1, 38400, 10s, ""},
        GoodLine{
            "HelpWinsWhereAValueIsMissing", {"--port", "--help"}, Mode::Help, 1, 38400, 10s, ""},
        GoodLine{
            "HelpAfterDashDashIsAFile", {"--", "--help"}, Mode::Update, 1, 38400, 10s, "--help"},
        GoodLine{"LoneDashIsAFile", {"-"}, Mode::Update, 1, 38400, 10s, "-"},
        GoodLine{"LastValueCounts",
                 {"--port", "3", "--port=2", "--baud", "9600", "--baud", "19200", "fw.bin"},
                 Mode::Update,
                 2,
                 19200,
                 10s,
                 "fw.bin"},
        GoodLine{"TimeoutRoundsToTheMillisecond",
                 {"--timeout", "0.9995", "fw.bin"},
                 Mode::Update,
                 1,
                 38400,
                 1000ms,
                 "fw.bin"},
        GoodLine{"SameCommandTwice", {"--version", "--version"}, Mode::Version, 1, 38400, 10s, ""},
        GoodLine{"Version", {"--version"}, Mode::Version, 1, 38400, 10s, ""}),
    [](const auto& info) { return info.param.name; });

TEST(ParseCommandLine, KeepsDeviceTraceAndYes) {
    const Options update = parseCommandLine({"--device", "/dev/pts/4", "--trace", "fw.bin"});
    ASSERT_TRUE(update.device.has_value());
    EXPECT_EQ(*update.device, "/dev/pts/4");
    EXPECT_TRUE(update.trace);
    EXPECT_FALSE(update.yes);
    EXPECT_TRUE(parseCommandLine({"--download-command", "-y"}).yes);
    EXPECT_EQ(parseCommandLine({"--check-port", "--device", "/dev/ttyUSB0"}).device,
              "/dev/ttyUSB0");
    EXPECT_EQ(parseCommandLine({"--device=/dev/serial/by-id/a=b", "fw.bin"}).device,
              "/dev/serial/by-id/a=b");
}

// Paths are bytes: a name that is not valid UTF-8 must reach the file system
// and the port unchanged, and be quoted as typed.
TEST(ParseCommandLine, KeepsHowMuchToShow) {
    EXPECT_EQ(parseCommandLine({"fw.bin"}).verbosity, Verbosity::Normal);
    EXPECT_EQ(parseCommandLine({"--quiet", "fw.bin"}).verbosity, Verbosity::Quiet);
    EXPECT_EQ(parseCommandLine({"-q", "fw.bin"}).verbosity, Verbosity::Quiet);
    EXPECT_EQ(parseCommandLine({"--verbose", "fw.bin"}).verbosity, Verbosity::Verbose);
}

TEST(ParseCommandLine, KeepsPathBytesAsTyped) {
    const Options options = parseCommandLine({"--device", "/dev/tty\xff", "fw\xe9.bin"});
    EXPECT_EQ(options.device, "/dev/tty\xff");
    EXPECT_EQ(options.file, "fw\xe9.bin");
    try {
        parseCommandLine({"--port", "\xd9\xa3", "fw.bin"});
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find("\"\xd9\xa3\""), std::string::npos);
    }
}

struct BadLine {
    const char* name;
    Args args;
    const char* mentions;  // the message must name what is wrong
};

class RejectsCommandLine : public testing::TestWithParam<BadLine> {};

TEST_P(RejectsCommandLine, WithOneClearMessage) {
    const BadLine& line = GetParam();
    try {
        parseCommandLine(line.args);
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find(line.mentions), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RejectsCommandLine,
    testing::Values(
        BadLine{"NoFile", {}, "no firmware file"}, BadLine{"TwoFiles", {"a.bin", "b.bin"}, "b.bin"},
        BadLine{"UnknownOption", {"--speed", "fw.bin"}, "--speed"},
        BadLine{"PortZero", {"--port", "0", "fw.bin"}, "1 to 16"},
        BadLine{"PortSeventeen", {"--port", "17", "fw.bin"}, "1 to 16"},
        BadLine{"PortSigned", {"--port", "+1", "fw.bin"}, "1 to 16"},
        BadLine{"PortNotANumber", {"--port", "COM1", "fw.bin"}, "COM1"},
        BadLine{"PortHuge", {"--port", "99999999999999999999", "fw.bin"}, "1 to 16"},
        BadLine{"PortWithoutValue", {"fw.bin", "--port"}, "needs a value"},
        BadLine{"UnknownBaud", {"--baud", "115200", "fw.bin"}, "115200"},
        BadLine{"TimeoutBelowWatchdog", {"--timeout", "0.5", "fw.bin"}, "--timeout"},
        BadLine{"TimeoutNegative", {"--timeout", "-3", "fw.bin"}, "--timeout"},
        BadLine{"TimeoutNotANumber", {"--timeout", "inf", "fw.bin"}, "--timeout"},
        BadLine{"EmptyDevice", {"--device=", "fw.bin"}, "--device"},
        BadLine{"FlagWithValue", {"--trace=1", "fw.bin"}, "takes no value"},
        BadLine{"YesWithoutDownload", {"--yes", "fw.bin"}, "--yes"},
        BadLine{"DownloadWithFile", {"--download-command", "fw.bin"}, "no file"},
        BadLine{"TwoCommands", {"--download-command", "--list-ports"}, "cannot be combined"},
        BadLine{"ListPortsWithPort", {"--list-ports", "--port", "2"}, "no port"},
        BadLine{"CheckPortWithFile", {"--check-port", "fw.bin"}, "--check-port takes no file"},
        BadLine{"CheckPortWithDownload",
                {"--check-port", "--download-command"},
                "--download-command cannot be combined"},
        BadLine{"CheckPortWithListPorts",
                {"--list-ports", "--check-port"},
                "--check-port cannot be combined"},
        BadLine{"CheckPortWithYes", {"--check-port", "--yes"}, "--yes"},
        BadLine{"VersionWithDevice", {"--version", "--device=/dev/ttyS0"}, "no port"},
        BadLine{"QuietAndVerbose", {"-q", "--verbose", "fw.bin"}, "cannot be combined"},
        BadLine{"QuietWithListPorts", {"--list-ports", "--quiet"}, "updates only"},
        BadLine{"VersionWithFile", {"--version", "fw.bin"}, "unexpected argument \"fw.bin\""},
        BadLine{"SecondCommandNamed",
                {"--list-ports", "--download-command"},
                "--download-command cannot be combined"},
        BadLine{"SingleDashLongOption", {"-port", "2", "fw.bin"}, "unknown option \"-port\""},
        BadLine{"SingleDashYes", {"--download-command", "-yes"}, "unknown option \"-yes\""},
        BadLine{"UnknownAfterDashDashAsValue", {"--device", "--", "--speed"}, "\"--speed\""},
        BadLine{"UnknownOptionWithValue", {"--speed=9600", "fw.bin"}, "\"--speed=9600\""},
        BadLine{"ShortFlagWithValue", {"--download-command", "-y=1"}, "-y takes no value"},
        BadLine{"CommandWithValue", {"--version=2"}, "--version takes no value"},
        BadLine{
            "FlagWithValueAfterPlainFlag", {"--trace", "--trace=1", "fw.bin"}, "takes no value"},
        BadLine{"DeviceWithoutValue", {"fw.bin", "--device"}, "--device needs a value"},
        BadLine{"EveryPortValueChecked", {"--port", "0", "--port", "3", "fw.bin"}, "\"0\""},
        BadLine{"PortWithSpace", {"--port", " 3", "fw.bin"}, "1 to 16"},
        BadLine{"TimeoutHuge", {"--timeout", "99999999999999999999999", "fw.bin"}, "--timeout"},
        BadLine{"TimeoutExponent", {"--timeout", "1e3", "fw.bin"}, "--timeout"},
        BadLine{"TimeoutAboveADay", {"--timeout", "86400.0005", "fw.bin"}, "--timeout"},
        BadLine{"TimeoutTwoPoints", {"--timeout", "1.0.0", "fw.bin"}, "--timeout"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace oxu::cli
