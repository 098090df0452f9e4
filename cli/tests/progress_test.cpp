#include "cli/progress.h"

#include <gtest/gtest.h>

#include <sstream>

#include "protocol/update_transfer.h"
#include "tests/kit/fakes.h"

namespace oxu::cli {
namespace {

using namespace std::chrono_literals;

struct LineCase {
    const char* name;
    ProgressSnapshot snapshot;
    std::string expected;
};

class FormatsProgressLine : public testing::TestWithParam<LineCase> {};

TEST_P(FormatsProgressLine, AsExpected) {
    EXPECT_EQ(formatProgressLine(GetParam().snapshot), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatsProgressLine,
    testing::Values(LineCase{"NoRateBeforeTimeHasPassed",
                             {1, 4, 4, 1012, 0us},
                             "page 001/004 (25%), 4 bytes sent, -- B/s, -- left"},
                    LineCase{"RateAndTimeLeft",
                             {2, 4, 262, 1012, 1s},
                             "page 002/004 (50%), 262 bytes sent, 262 B/s, 3 s left"},
                    LineCase{"KilobytesAndMinutes",
                             {128, 255, 32'768, 65'794, 2s},
                             "page 128/255 (50%), 32,768 bytes sent, 16.4 kB/s, 2 s left"},
                    LineCase{"MinutesLeft",
                             {1, 255, 1'000, 65'794, 10s},
                             "page 001/255 (0%), 1,000 bytes sent, 100 B/s, 10 min 48 s left"},
                    LineCase{"RepeatedPagesNeverGoNegative",
                             {4, 4, 5'000, 1'012, 1s},
                             "page 004/004 (100%), 5,000 bytes sent, 5.0 kB/s, 0 s left"},
                    LineCase{"PagePastTheAnnouncedCountStaysAtFullShare",
                             {5, 4, 1'016, 1'012, 1s},
                             "page 005/004 (100%), 1,016 bytes sent, 1.0 kB/s, 0 s left"},
                    LineCase{"PageBeyondAnEmptyImage",
                             {3, 0, 4, 4, 1s},
                             "page 003/000, 4 bytes sent, 4 B/s, 0 s left"}),
    [](const auto& info) { return info.param.name; });

TEST(ExpectedWireBytes, CountsHeaderAndChecksums) {
    EXPECT_EQ(expectedWireBytes(0), 4u);
    EXPECT_EQ(expectedWireBytes(1000), 4u + 1000 + 4 * 2);
    EXPECT_EQ(expectedWireBytes(65'280), 4u + 65'280 + 255 * 2);
}

TEST(ProgressDisplay, WritesOneLinePerPageForLogs) {
    std::ostringstream out;
    testkit::FakeClock clock;
    std::uint64_t sent = 4;
    ProgressDisplay display(
        out, false, clock, [&] { return sent; }, 1000);
    display.showPage(1);
    sent += 258;
    clock.advance(1s);
    display.showPage(2);
    display.interrupt();
    display.interrupt();
    EXPECT_EQ(out.str(),
              "page 001/004 (25%), 4 bytes sent, -- B/s, -- left\n"
              "page 002/004 (50%), 262 bytes sent, 262 B/s, 3 s left\n");
}

TEST(ProgressDisplay, RewritesOneLineOnATerminalAndEndsItForMessages) {
    std::ostringstream out;
    testkit::FakeClock clock;
    ProgressDisplay display(
        out, true, clock, [] { return std::uint64_t{4}; }, 300);
    display.showPage(1);
    display.showPage(2);
    display.interrupt();
    display.interrupt();  // a second message adds no blank line
    display.showPage(1);
    display.interrupt();
    EXPECT_EQ(out.str(),
              "\rpage 001/002 (50%), 4 bytes sent, -- B/s, -- left\x1b[K"
              "\rpage 002/002 (100%), 4 bytes sent, -- B/s, -- left\x1b[K\n"
              "\rpage 001/002 (50%), 4 bytes sent, -- B/s, -- left\x1b[K\n");
}

}  // namespace
}  // namespace oxu::cli
