// The command line of several ports at once, retries, JSON, the audit log
// and station mode.

#include <gtest/gtest.h>

#include "cli/options.h"

namespace oxu::cli {
namespace {

using Args = std::vector<std::string>;
using Ports = std::vector<PortChoice>;

struct GangLine {
    const char* name;
    Args args;
    Ports ports;
};

class ReadsEveryPort : public testing::TestWithParam<GangLine> {};

TEST_P(ReadsEveryPort, InTheOrderGiven) {
    const Options options = parseCommandLine(GetParam().args);
    EXPECT_EQ(options.ports, GetParam().ports);
    EXPECT_EQ(options.port, GetParam().ports.back().number);
    EXPECT_EQ(options.device, GetParam().ports.back().device);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReadsEveryPort,
    testing::Values(
        GangLine{"NoPortIsPortOne", {"fw.bin"}, {{1, {}}}},
        GangLine{"OneDeviceIsPortOne", {"--device", "/dev/a", "fw.bin"}, {{1, "/dev/a"}}},
        GangLine{"PortRepeated",
                 {"--port", "1", "--port", "2", "--port=5", "fw.bin"},
                 {{1, {}}, {2, {}}, {5, {}}}},
        GangLine{"PortList",
                 {"--ports", "1-4,7", "fw.bin"},
                 {{1, {}}, {2, {}}, {3, {}}, {4, {}}, {7, {}}}},
        GangLine{"PortThenList",
                 {"--port", "9", "--ports=2-3", "--port", "1", "fw.bin"},
                 {{9, {}}, {2, {}}, {3, {}}, {1, {}}}},
        GangLine{"DevicesWithoutPortsAreOneTwoThree",
                 {"--device", "/dev/a", "--device", "/dev/b", "--device", "/dev/c", "fw.bin"},
                 {{1, "/dev/a"}, {2, "/dev/b"}, {3, "/dev/c"}}},
        GangLine{
            "DevicesPairWithPortsInOrder",
            {"--device", "/dev/a", "--port", "7", "--device", "/dev/b", "--port", "3", "fw.bin"},
            {{7, "/dev/a"}, {3, "/dev/b"}}},
        GangLine{"EverySixteen",
                 {"--ports", "16,1-15", "fw.bin"},
                 {{16, {}},
                  {1, {}},
                  {2, {}},
                  {3, {}},
                  {4, {}},
                  {5, {}},
                  {6, {}},
                  {7, {}},
                  {8, {}},
                  {9, {}},
                  {10, {}},
                  {11, {}},
                  {12, {}},
                  {13, {}},
                  {14, {}},
                  {15, {}}}},
        GangLine{"DownloadCommandOnOnePort",
                 {"--download-command", "--port", "4", "--device", "/dev/x"},
                 {{4, "/dev/x"}}},
        GangLine{"CheckPortOnOnePort", {"--check-port", "--device", "/dev/y"}, {{1, "/dev/y"}}}),
    [](const auto& info) { return info.param.name; });

TEST(ParseCommandLine, ReadsRetryJsonLogAndStation) {
    const Options options =
        parseCommandLine({"--retry", "3", "--json", "--log=/var/log/oxu.jsonl", "--wait", "fw"});
    EXPECT_EQ(options.retries, 3);
    EXPECT_TRUE(options.json);
    EXPECT_EQ(options.logPath, "/var/log/oxu.jsonl");
    EXPECT_TRUE(options.station);
    const Options plain = parseCommandLine({"fw"});
    EXPECT_EQ(plain.retries, 0);
    EXPECT_FALSE(plain.json || plain.station || plain.logPath);
}

struct BadGangLine {
    const char* name;
    Args args;
    const char* mentions;
};

class RejectsGangLine : public testing::TestWithParam<BadGangLine> {};

TEST_P(RejectsGangLine, WithOneClearMessage) {
    try {
        parseCommandLine(GetParam().args);
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().mentions), std::string::npos)
            << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RejectsGangLine,
    testing::Values(
        BadGangLine{"PortTwice", {"--port", "2", "--port", "2", "fw"}, "port 2 is given twice"},
        BadGangLine{"PortInListAndAlone", {"--ports", "1-3", "--port", "3", "fw"}, "port 3"},
        BadGangLine{"SeventeenPorts", {"--ports", "1-16", "--port", "1", "fw"}, "at most 16"},
        BadGangLine{
            "SeventeenDevices",
            {"--device=a", "--device=b", "--device=c", "--device=d", "--device=e", "--device=f",
             "--device=g", "--device=h", "--device=i", "--device=j", "--device=k", "--device=l",
             "--device=m", "--device=n", "--device=o", "--device=p", "--device=q", "fw"},
            "at most 16 ports at once, not 17"},
        BadGangLine{"FewerDevicesThanPorts",
                    {"--port", "1", "--port", "2", "--device", "/dev/a", "fw"},
                    "one --device for each port: 2 ports and 1 devices"},
        BadGangLine{"RangeBackwards", {"--ports", "4-1", "fw"}, "\"4-1\""},
        BadGangLine{"RangeBeyondSixteen", {"--ports", "15-17", "fw"}, "1 to 16"},
        BadGangLine{"EmptyItem", {"--ports", "1,,2", "fw"}, "\"1,,2\""},
        BadGangLine{"TrailingComma", {"--ports", "1,", "fw"}, "\"1,\""},
        BadGangLine{"EmptyList", {"--ports=", "fw"}, "--ports"},
        BadGangLine{"OpenRange", {"--ports", "3-", "fw"}, "\"3-\""},
        BadGangLine{"RetryTooMany", {"--retry", "101", "fw"}, "--retry"},
        BadGangLine{"RetryNegative", {"--retry", "-1", "fw"}, "--retry"},
        BadGangLine{"EmptyLog", {"--log=", "fw"}, "--log needs a file path"},
        BadGangLine{"JsonWithDownload", {"--download-command", "--json"}, "--json applies"},
        BadGangLine{"WaitWithListPorts", {"--list-ports", "--wait"}, "--wait applies"},
        BadGangLine{"PortsWithVersion", {"--version", "--ports", "1-2"}, "--ports applies"},
        BadGangLine{"DownloadToTwoPorts",
                    {"--download-command", "--port", "1", "--port", "2"},
                    "one port at a time"},
        BadGangLine{"CheckTwoPorts", {"--check-port", "--ports", "1-2"}, "--ports applies"},
        BadGangLine{"CheckTwoDevices",
                    {"--check-port", "--device", "/dev/a", "--device", "/dev/b"},
                    "one port at a time"}),
    [](const auto& info) { return info.param.name; });

TEST(UsageText, DocumentsTheGangOptionsAndExitCodeFive) {
    const std::string help = usageText();
    for (const char* part : {"--ports LIST", "--retry N", "--json", "--log FILE", "--wait",
                             "\n  5    some devices did not complete"})
        EXPECT_NE(help.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace oxu::cli
