#pragma once

// The figures of one benchmark run, listed once: the printed table and the
// machine-readable "bench:" line are both rendered from the same list, so a
// figure cannot appear in one and not the other, or differ between them.

#include <optional>
#include <string>
#include <vector>

namespace oxu::bench {

// One figure: a row of the table, a key of the bench: line, or both.
struct Metric {
    std::string label;            // its row in the table; empty: on the line only
    std::string key;              // its key on the line; empty: in the table only
    std::vector<double> samples;  // one per run; a single figure has one, none when not measured
    int decimals = 0;
    bool single = false;           // the table shows its value without a spread
    std::optional<double> target;  // the most its median may be
    bool lineTakesMax = false;     // the line carries the largest sample, not the median
};

// The rows of the table under one heading (none when empty).
struct MetricSection {
    std::string heading;
    std::vector<Metric> metrics;
};

// A figure measured once, or not at all (nothing).
Metric figure(std::string label, std::string key, std::optional<double> value, int decimals,
              std::optional<double> target = std::nullopt);
// A figure measured in every run.
Metric series(std::string label, std::string key, std::vector<double> samples, int decimals,
              std::optional<double> target = std::nullopt);

// The table: each section's heading, then a row for each labelled metric
// with the median, p10, p90, min, max and count of its samples (a single
// figure shows its value only) and, where there is a target, the target
// and whether the median met it; last, how many targets were met.
std::string renderTable(const std::vector<MetricSection>& sections);

// "bench: key=value ..." for each keyed metric in order: the median (or the
// largest sample) with the metric's decimals, "-" when not measured.
std::string renderLine(const std::vector<MetricSection>& sections);

}  // namespace oxu::bench
