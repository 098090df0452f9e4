#include "bench/metrics.h"

#include <gtest/gtest.h>

#include <sstream>

namespace oxu::bench {
namespace {

// The words of the table row labelled label, after the label; empty when
// there is no such row.
std::vector<std::string> rowOf(const std::string& table, const std::string& label) {
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.starts_with("  " + label + "  "))
            continue;
        std::istringstream words(line.substr(label.size() + 2));
        std::vector<std::string> row;
        for (std::string word; words >> word;)
            row.push_back(word);
        return row;
    }
    return {};
}

std::vector<MetricSection> sampleSections() {
    return {
        {"", {{"", "runs", once(3)}}},
        {"Updates",
         {
             {"engine update (ms)", "engine_ms_median", {3, 1, 2}, 3, 2.5},
             {"round trip max (us)", "rtt_max_us", {10, 40, 20}, 0, std::nullopt, true},
             {"raw round trip (us)", "", {5}, 0},
             {"engine / bare", "engine_over_bare", once(1.25), 2, 1.0},
         }},
        {"Idle",
         {
             {"oxu-updater (%)", "idle_cpu_pct", once(std::nullopt), 3, 0.05},
             {"window update (ms)", "window_ms_median", {}, 3},
         }},
        {"", {{"measurements that failed", "failures", once(0)}}},
    };
}

TEST(Metrics, TheLineCarriesEveryKeyInOrderWithTheTablesValues) {
    EXPECT_EQ(renderLine(sampleSections()),
              "bench: runs=3 engine_ms_median=2.000 rtt_max_us=40 engine_over_bare=1.25 "
              "idle_cpu_pct=- window_ms_median=- failures=0");
}

TEST(Metrics, EveryFigureInBothShowsTheSameValueInBoth) {
    const std::string table = renderTable(sampleSections());
    const std::string line = renderLine(sampleSections()) + " ";
    int compared = 0;
    for (const MetricSection& section : sampleSections()) {
        for (const Metric& metric : section.metrics) {
            if (metric.label.empty() || metric.key.empty() || metric.lineTakesMax)
                continue;
            const std::vector<std::string> row = rowOf(table, metric.label);
            ASSERT_FALSE(row.empty()) << metric.label;
            EXPECT_NE(line.find(" " + metric.key + "=" + row.front() + " "), std::string::npos)
                << metric.key << " " << line;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 5);
}

TEST(Metrics, TheTableShowsSpreadsFiguresAndTargetVerdicts) {
    const std::string table = renderTable(sampleSections());
    struct Row {
        const char* label;
        std::vector<std::string> words;
    };
    const Row rows[] = {
        {"engine update (ms)",
         {"2.000", "1.200", "2.800", "1.000", "3.000", "3", "<=", "2.500", "met"}},
        {"round trip max (us)", {"20", "12", "36", "10", "40", "3"}},
        {"raw round trip (us)", {"5"}},
        {"engine / bare", {"1.25", "<=", "1.00", "MISSED"}},
        {"oxu-updater (%)", {"-", "<=", "0.050", "not", "measured"}},
        {"window update (ms)", {"-"}},
        {"measurements that failed", {"0"}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(rowOf(table, row.label), row.words) << row.label << "\n" << table;
    EXPECT_EQ(table.find("runs"), std::string::npos) << table;
    EXPECT_LT(table.find("\nUpdates\n"), table.find("\nIdle\n")) << table;
    EXPECT_NE(table.find("Targets met: 1 of 3\n"), std::string::npos) << table;
}

}  // namespace
}  // namespace oxu::bench
