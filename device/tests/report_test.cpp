#include "device/report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>

namespace oxu::sim::test {
namespace {

using std::chrono::microseconds;

// The fields a verdict line carries, for comparing a report with its parse.
auto verdictFields(const UpdateReport& r) {
    return std::tuple(r.ok, r.reason, r.announcedPages, r.pagesOk, r.imageBytes, r.receivedBytes,
                      r.checksumErrors, r.lengthErrors, r.retries, r.elapsed, r.seed, r.settings,
                      r.completionSent, r.portClosed, r.closeDelay, r.baud);
}

UpdateReport completedReport() {
    UpdateReport report;
    report.ok = true;
    report.announcedPages = report.pagesOk = 4;
    report.imageBytes = 1000;
    report.receivedBytes = 1012;
    report.elapsed = microseconds(742);
    report.seed = 42;
    report.settings = LineSettings{38400, 8, 'n', 1};
    report.completionSent = true;
    report.portClosed = true;
    report.closeDelay = microseconds(126);
    return report;
}

TEST(Report, StatsUseNearestRankPercentiles) {
    UpdateReport report;
    for (int i = 1; i <= 200; ++i)
        report.roundTrips.push_back(microseconds(201 - i));
    EXPECT_EQ(formatStats(report),
              "stats: rtt_count=200 rtt_min_us=1 rtt_median_us=100 rtt_p99_us=198 rtt_max_us=200");
    EXPECT_EQ(formatStats(UpdateReport{}), "stats: rtt_count=0");
}

TEST(Report, VerdictReadsBackAsItWasWritten) {
    UpdateReport failed = completedReport();
    failed.ok = false;
    failed.pagesOk = 2;
    failed.checksumErrors = 4;
    failed.retries = 3;
    failed.lengthErrors = 1;
    failed.completionSent = false;
    failed.portClosed.reset();
    failed.closeDelay.reset();
    failed.settings = LineSettings{9600, 7, 'e', 2};
    failed.reason = "page 3: checksum 01 f0 received, 01 ef computed over 256 bytes";
    UpdateReport paced = completedReport();
    paced.baud = 19200;
    paced.elapsed = std::chrono::seconds(3600);
    UpdateReport burst = completedReport();
    burst.ok = false;
    burst.portClosed = false;
    burst.closeDelay.reset();
    burst.settings.reset();
    burst.seed = UINT64_MAX;
    burst.reason = "--burst: the completion byte went out ...; it said = and \"no\"";
    for (const UpdateReport& report : {completedReport(), failed, paced, burst, UpdateReport{}}) {
        const std::string line = formatVerdict(report);
        const std::optional<UpdateReport> parsed = parseVerdict(line);
        ASSERT_TRUE(parsed) << line;
        UpdateReport expected = report;
        std::replace(expected.reason.begin(), expected.reason.end(), '"', '\'');
        EXPECT_EQ(verdictFields(*parsed), verdictFields(expected)) << line;
        EXPECT_EQ(formatVerdict(*parsed), line);
    }
}

TEST(Report, SeveralUpdatesAreCountedOnlyWhenThereWereSeveral) {
    UpdateReport again = completedReport();
    again.updates = 2;
    const std::string line = formatVerdict(again);
    EXPECT_NE(line.find(" updates=2 seed=42"), std::string::npos) << line;
    EXPECT_EQ(parseVerdict(line)->updates, 2);
    EXPECT_EQ(formatVerdict(completedReport()).find("updates="), std::string::npos);
    EXPECT_EQ(parseVerdict(formatVerdict(completedReport()))->updates, 1);
}

TEST(Report, StatsReadBackAndDownloadLinesShowWhatCame) {
    for (const int count : {0, 1, 7, 200}) {
        UpdateReport report;
        for (int i = 0; i < count; ++i)
            report.roundTrips.push_back(microseconds((i * 37) % 101 + 40));
        EXPECT_EQ(parseStats(formatStats(report)), summarizeRoundTrips(report.roundTrips))
            << formatStats(report);
    }

    DownloadReport ok{true, "", {0x2F, 0x55, 0xAA}, LineSettings{19200, 8, 'n', 1}, true};
    DownloadReport nothing{false, "no download command within 1 s", {}, std::nullopt, {}};
    DownloadReport wrong{false,
                         "expected the download command 2f 55 aa, got 2f 54",
                         {0x2F, 0x54},
                         LineSettings{38400, 8, 'o', 2},
                         false};
    // Only kShownBytes are written, then "...".
    DownloadReport flood = wrong;
    flood.received.assign(100, 0x41);
    std::string shown;
    for (std::size_t i = 0; i < kShownBytes; ++i)
        shown += "41";
    const std::pair<DownloadReport, std::string> lines[] = {
        {ok, "download: ok bytes=2f55aa settings=19200,n,8,1 port_closed=yes"},
        {nothing,
         "download: fail bytes=none settings=unseen reason=\"no download command within 1 s\""},
        {wrong,
         "download: fail bytes=2f54 settings=38400,o,8,2 port_closed=no reason=\"expected the "
         "download command 2f 55 aa, got 2f 54\""},
        {flood, "download: fail bytes=" + shown +
                    "... settings=38400,o,8,2 port_closed=no reason=\"expected the download "
                    "command 2f 55 aa, got 2f 54\""},
    };
    for (const auto& [report, line] : lines)
        EXPECT_EQ(formatDownload(report), line);
}

TEST(Report, ReadsLinesThatLeaveOutKeysAndSkipsUnknownOnes) {
    const auto verdict = parseVerdict("verdict: ok pages=255 time_ms=15.250 mood=fine seed=1");
    ASSERT_TRUE(verdict);
    EXPECT_TRUE(verdict->ok);
    EXPECT_EQ(verdict->pagesOk, 255);
    EXPECT_EQ(verdict->elapsed, microseconds(15250));
    EXPECT_EQ(verdict->announcedPages, 0);
    EXPECT_FALSE(verdict->settings);
    const auto stats = parseStats("stats: rtt_count=3 rtt_median_us=58");
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->medianUs, 58);
    EXPECT_EQ(stats->maxUs, 0);
}

TEST(Report, RefusesLinesThatAreNotReports) {
    for (const char* line : {
             "",
             "/dev/pts/4",
             "verdict:",
             "verdict: maybe pages=4",
             "verdict: okay pages=4",
             "verdict: ok pages=four",
             "verdict: ok pages=4x",
             "verdict: ok pages=",
             "verdict: ok bytes=-1",
             "verdict: ok time_ms=soon",
             "verdict: ok completion=maybe",
             "verdict: ok settings=fast",
             "verdict: ok settings=19200,x,8,1",
             "verdict: ok settings=19200,n,8,1,extra",
             "verdict: fail reason=\"never closed",
             "verdict: ok =4",
             "verdict: ok pages",
             "verdict: ok  pages=4",
             "stats: rtt_count=many",
             "download: ok bytes=2f5",
             "download: ok bytes=2fzz",
             "download: ok port_closed=perhaps",
             "download ok bytes=2f55aa",
         }) {
        EXPECT_FALSE(parseVerdict(line) || parseStats(line)) << line;
    }
}

}  // namespace
}  // namespace oxu::sim::test
