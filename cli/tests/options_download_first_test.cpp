// --download-first and its settle time: where they apply, what they take,
// and the exact words of a refusal.

#include <gtest/gtest.h>

#include "cli/options.h"

namespace oxu::cli {
namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

struct SettleLine {
    const char* name;
    Args args;
    std::optional<std::chrono::milliseconds> downloadFirst;
};

class ReadsDownloadFirst : public testing::TestWithParam<SettleLine> {};

TEST_P(ReadsDownloadFirst, WithItsSettleTime) {
    EXPECT_EQ(parseCommandLine(GetParam().args).downloadFirst, GetParam().downloadFirst);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReadsDownloadFirst,
    testing::Values(SettleLine{"NotAsked", {"fw.bin"}, std::nullopt},
                    SettleLine{"DefaultSettle", {"--download-first", "fw.bin"}, 500ms},
                    SettleLine{"NoSettle", {"--download-first", "--settle", "0", "fw.bin"}, 0ms},
                    SettleLine{"LongestSettle", {"--settle=60000", "--download-first", "fw"}, 60s},
                    SettleLine{
                        "GangAndStation",
                        {"--download-first", "--ports", "1-2", "--wait", "--retry", "2", "fw"},
                        500ms}),
    [](const auto& info) { return info.param.name; });

struct BadSettleLine {
    const char* name;
    Args args;
    const char* message;  // the whole line
};

class RejectsDownloadFirst : public testing::TestWithParam<BadSettleLine> {};

TEST_P(RejectsDownloadFirst, WithItsExactMessage) {
    try {
        parseCommandLine(GetParam().args);
        FAIL() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_STREQ(error.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RejectsDownloadFirst,
    testing::Values(
        BadSettleLine{
            "SettleAlone", {"--settle", "500", "fw"}, "--settle applies to --download-first only"},
        BadSettleLine{"WithTheCommandAlone",
                      {"--download-first", "--download-command"},
                      "--download-first sends the download command before an update; it cannot "
                      "be combined with --download-command"},
        BadSettleLine{"WithCheckPort",
                      {"--check-port", "--download-first"},
                      "--download-first applies to updates only"},
        BadSettleLine{"SettleTooLong",
                      {"--download-first", "--settle", "60001", "fw"},
                      "--settle must be a number of milliseconds from 0 to 60000, not \"60001\""},
        BadSettleLine{"SettleInSeconds",
                      {"--download-first", "--settle=0.5", "fw"},
                      "--settle must be a number of milliseconds from 0 to 60000, not \"0.5\""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace oxu::cli
