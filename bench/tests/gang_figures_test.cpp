#include "bench/gang_figures.h"

#include <gtest/gtest.h>

namespace oxu::bench {
namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

LineReport lineFrom(long long firstNs, long long lastNs) {
    LineReport line;
    line.firstByteIn = nanoseconds(firstNs);
    line.lastByteOut = nanoseconds(lastNs);
    line.busy = line.lastByteOut - line.firstByteIn;
    return line;
}

TEST(GangFigures, TheSpanRunsFromTheEarliestFirstByteToTheLatestLastByte) {
    struct Case {
        const char* name;
        std::vector<LineReport> lines;
        std::optional<nanoseconds> span;
    };
    const Case cases[] = {
        {"one line is its own busy time", {lineFrom(1000, 5000)}, nanoseconds(4000)},
        {"staggered starts and ends",
         {lineFrom(1000, 5000), lineFrom(1500, 7000), lineFrom(1200, 6000)},
         nanoseconds(6000)},
        {"the latest start can hold the latest end",
         {lineFrom(2000, 3000), lineFrom(1000, 2500), lineFrom(2600, 9000)},
         nanoseconds(8000)},
        {"a line that carried nothing leaves its device out",
         {lineFrom(1000, 5000), LineReport{}},
         std::nullopt},
        {"no lines", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(spanOfLines(c.lines), c.span);
    }
}

rusage usageOf(long utimeSeconds, long utimeMicros, long stimeSeconds, long stimeMicros) {
    rusage usage{};
    usage.ru_utime = timeval{utimeSeconds, utimeMicros};
    usage.ru_stime = timeval{stimeSeconds, stimeMicros};
    return usage;
}

TEST(GangFigures, ACpuTimeIsUserPlusSystemGainedBetweenTwoReadings) {
    struct Case {
        const char* name;
        rusage before;
        rusage after;
        microseconds cpu;
    };
    const Case cases[] = {
        {"from nothing", usageOf(0, 0, 0, 0), usageOf(0, 250'000, 0, 50'000),
         microseconds(300'000)},
        {"microseconds carried into seconds", usageOf(1, 900'000, 2, 800'000),
         usageOf(2, 100'000, 3, 100'000), microseconds(500'000)},
        {"nothing reaped in between", usageOf(5, 1, 6, 2), usageOf(5, 1, 6, 2), microseconds(0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cpuTimeBetween(c.before, c.after), c.cpu);
    }
}

TEST(GangFigures, ChildrenUsageGrowsOnlyByWhatReapedChildrenUsed) {
    const rusage before = childrenUsage();
    const rusage again = childrenUsage();
    EXPECT_EQ(cpuTimeBetween(before, again), microseconds(0));
}

TEST(GangFigures, TheWorstFigureNeedsEveryDevice) {
    EXPECT_EQ(worstOf({120.0, 480.0, 95.0}), 480.0);
    EXPECT_EQ(worstOf({-3.0, -1.0}), -1.0);
    EXPECT_EQ(worstOf({120.0, std::nullopt, 95.0}), std::nullopt);
    EXPECT_EQ(worstOf({}), std::nullopt);
}

}  // namespace
}  // namespace oxu::bench
