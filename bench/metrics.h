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
    std::vector<double> samples;  // one per run, or one for a figure measured once
    int decimals = 0;
    std::optional<double> target{};  // the most its median may be
    bool lineTakesMax = false;       // the line carries the largest sample, not the median
};

// The samples of a figure measured once: none when it was not measured.
std::vector<double> once(std::optional<double> value);

// The rows of the table under one heading (none when empty).
struct MetricSection {
    std::string heading;
    std::vector<Metric> metrics;
};

// The table: each section's heading, then a row for each labelled metric:
// its median, then the p10, p90, min, max and count of its samples when it
// has more than one; where it has a target, the target and whether the
// median met it. Last, how many targets were met.
std::string renderTable(const std::vector<MetricSection>& sections);

// "bench: key=value ..." for each keyed metric in order: the median (or the
// largest sample) with the metric's decimals, "-" when not measured.
std::string renderLine(const std::vector<MetricSection>& sections);

}  // namespace oxu::bench
