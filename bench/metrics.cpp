#include "bench/metrics.h"

#include <algorithm>
#include <cstdio>

#include "bench/measure.h"

namespace oxu::bench {
namespace {

std::string formatRow(std::size_t labelWidth, const std::string& label,
                      const std::vector<std::string>& cells, const std::string& target) {
    char text[512];
    std::snprintf(text, sizeof text, "%-*s %9s %9s %9s %9s %9s %4s  %s",
                  static_cast<int>(labelWidth), label.c_str(), cells[0].c_str(), cells[1].c_str(),
                  cells[2].c_str(), cells[3].c_str(), cells[4].c_str(), cells[5].c_str(),
                  target.c_str());
    std::string row = text;
    row.erase(row.find_last_not_of(' ') + 1);
    return row + '\n';
}

}  // namespace

std::vector<double> once(std::optional<double> value) {
    return value ? std::vector<double>{*value} : std::vector<double>{};
}

std::string renderTable(const std::vector<MetricSection>& sections) {
    std::size_t width = 0;
    for (const MetricSection& section : sections) {
        for (const Metric& metric : section.metrics)
            width = std::max(width, metric.label.size() + 2);
    }
    std::string table =
        formatRow(width, "measurement", {"median", "p10", "p90", "min", "max", "n"}, "target");
    int targets = 0;
    int met = 0;
    for (const MetricSection& section : sections) {
        table += section.heading.empty() ? "" : section.heading + '\n';
        for (const Metric& metric : section.metrics) {
            if (metric.label.empty())
                continue;
            const Summary s = summarize(metric.samples);
            const auto cell = [&](double value) { return formatNumber(value, metric.decimals); };
            std::vector<std::string> cells{s.count == 0 ? "-" : cell(s.median), "", "", "", "", ""};
            if (s.count > 1)
                cells = {cell(s.median), cell(s.p10), cell(s.p90),
                         cell(s.min),    cell(s.max), std::to_string(s.count)};
            std::string target;
            if (metric.target) {
                const bool reached = s.count > 0 && s.median <= *metric.target;
                targets += 1;
                met += reached ? 1 : 0;
                target = "<= " + formatNumber(metric.target, metric.decimals) + " " +
                         (s.count == 0 ? "not measured"
                          : reached    ? "met"
                                       : "MISSED");
            }
            table += formatRow(width, "  " + metric.label, cells, target);
        }
    }
    return table + "Targets met: " + std::to_string(met) + " of " + std::to_string(targets) + '\n';
}

std::string renderLine(const std::vector<MetricSection>& sections) {
    std::string line = "bench:";
    for (const MetricSection& section : sections) {
        for (const Metric& metric : section.metrics) {
            if (metric.key.empty())
                continue;
            const Summary s = summarize(metric.samples);
            std::optional<double> value;
            if (s.count > 0)
                value = metric.lineTakesMax ? s.max : s.median;
            line += " " + metric.key + "=" + formatNumber(value, metric.decimals);
        }
    }
    return line;
}

}  // namespace oxu::bench
