#include "bench/measure.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace oxu::bench {
namespace {

struct SummaryCase {
    const char* name;
    std::vector<double> samples;
    Summary expected;
};

TEST(Summarize, GivesMedianSpreadAndExtremesOfAnyOrder) {
    const SummaryCase cases[] = {
        {"none", {}, {0, 0, 0, 0, 0, 0}},
        {"one", {5}, {1, 5, 5, 5, 5, 5}},
        {"odd count unsorted", {3, 1, 2}, {3, 2, 1.2, 2.8, 1, 3}},
        {"even count interpolates", {4, 1, 3, 2}, {4, 2.5, 1.3, 3.7, 1, 4}},
        {"ten values", {10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, {10, 5.5, 1.9, 9.1, 1, 10}},
    };
    for (const SummaryCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Summary s = summarize(c.samples);
        EXPECT_EQ(s.count, c.expected.count);
        EXPECT_DOUBLE_EQ(s.median, c.expected.median);
        EXPECT_NEAR(s.p10, c.expected.p10, 1e-9);
        EXPECT_NEAR(s.p90, c.expected.p90, 1e-9);
        EXPECT_DOUBLE_EQ(s.min, c.expected.min);
        EXPECT_DOUBLE_EQ(s.max, c.expected.max);
    }
}

TEST(RatioOfMedians, RefusesEmptyOrNonPositiveDenominators) {
    EXPECT_DOUBLE_EQ(*ratioOfMedians(summarize({3, 3, 9}), summarize({2, 1, 2})), 1.5);
    EXPECT_FALSE(ratioOfMedians(summarize({}), summarize({1})));
    EXPECT_FALSE(ratioOfMedians(summarize({1}), summarize({})));
    EXPECT_FALSE(ratioOfMedians(summarize({1}), summarize({0})));
}

TEST(FindLine, FindsTheLineWithThePrefixOnly) {
    const std::string text = "/dev/pts/3\nverdict: ok pages=1\nstats: rtt_count=1\n";
    EXPECT_EQ(findLine(text, "verdict:"), "verdict: ok pages=1");
    EXPECT_EQ(findLine(text, "stats:"), "stats: rtt_count=1");
    EXPECT_EQ(findLine(text, "ok"), "");
}

TEST(CpuTicksFromStat, AddsUserAndSystemTimePastAnyCommandName) {
    const std::string tail = " S 1 2 3 4 5 6 7 8 9 10 111 222 13 14 15";
    EXPECT_EQ(cpuTicksFromStat("42 (oxu-updater)" + tail), 333);
    EXPECT_EQ(cpuTicksFromStat("42 (a) b (c))" + tail), 333);
    EXPECT_FALSE(cpuTicksFromStat("42 (oxu-updater) S 1 2 3"));
    EXPECT_FALSE(cpuTicksFromStat("no parenthesis at all"));
    EXPECT_FALSE(cpuTicksFromStat("42 (x) S 1 2 3 4 5 6 7 8 9 10 x 222"));
    const auto own = readTextFile("/proc/self/stat");
    ASSERT_TRUE(own);
    EXPECT_TRUE(cpuTicksFromStat(*own));
}

TEST(ProcessStateFromStat, ReadsTheStateAndTellsAnEndedProcessApart) {
    const std::string tail = " 1 2 3 4 5 6 7 8 9 10 111 222 13 14 15";
    const struct {
        std::string stat;
        std::optional<char> state;
        bool running;
    } cases[] = {
        {"42 (oxu-station) S" + tail, 'S', true},
        {"42 (oxu-station) R" + tail, 'R', true},
        {"42 (a) Z (b)) D" + tail, 'D', true},  // the name holds ") Z ("
        {"42 (oxu-station) Z" + tail, 'Z', false},
        {"42 (oxu-station) X" + tail, 'X', false},
        {"42 (oxu-station)", std::nullopt, false},
        {"42 (oxu-station) SS" + tail, std::nullopt, false},
        {"no parenthesis at all", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stat);
        const std::optional<char> state = processStateFromStat(c.stat);
        EXPECT_EQ(state, c.state);
        if (state) {
            EXPECT_EQ(stillRunning(*state), c.running);
        }
    }
    const auto own = readTextFile("/proc/self/stat");
    ASSERT_TRUE(own);
    EXPECT_TRUE(stillRunning(processStateFromStat(*own).value_or('Z')));
}

TEST(CpuNanosFromSchedstat, TakesTheFirstField) {
    EXPECT_EQ(cpuNanosFromSchedstat("123456 789 10\n"), 123456);
    EXPECT_FALSE(cpuNanosFromSchedstat(""));
    EXPECT_FALSE(cpuNanosFromSchedstat("abc 1 2"));
}

TEST(StatusFieldKb, ReadsTheNamedLineInKilobytes) {
    const std::string status = "Name:\toxu-updater\nVmHWM:\t   27644 kB\nVmRSS:\t   27000 kB\n";
    EXPECT_EQ(statusFieldKb(status, "VmHWM"), 27644);
    EXPECT_EQ(statusFieldKb(status, "VmRSS"), 27000);
    EXPECT_FALSE(statusFieldKb(status, "VmSwap"));
    EXPECT_FALSE(statusFieldKb("VmHWM:\t12 pages\n", "VmHWM"));
    const auto own = readTextFile("/proc/self/status");
    ASSERT_TRUE(own);
    EXPECT_GT(statusFieldKb(*own, "VmHWM").value_or(0), 0);
}

TEST(ReadTextFile, SaysNothingForAMissingFile) {
    EXPECT_FALSE(readTextFile("/nonexistent/oxu-bench"));
}

TEST(Trimmed, DropsSurroundingBlanksOnly) {
    EXPECT_EQ(trimmed("  exec failed\n"), "exec failed");
    EXPECT_EQ(trimmed("a b"), "a b");
    EXPECT_EQ(trimmed(" \n\t"), "");
}

TEST(FormatNumber, UsesFixedDecimalsAndADashForNothing) {
    EXPECT_EQ(formatNumber(1.23456, 3), "1.235");
    EXPECT_EQ(formatNumber(1500.0, 0), "1500");
    EXPECT_EQ(formatNumber(std::nullopt, 2), "-");
}

}  // namespace
}  // namespace oxu::bench
