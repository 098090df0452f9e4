#include "bench/gang_figures.h"

#include <algorithm>

namespace oxu::bench {
namespace {

std::chrono::microseconds toMicroseconds(const timeval& time) {
    return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
}

}  // namespace

std::optional<std::chrono::nanoseconds> spanOfLines(const std::vector<LineReport>& lines) {
    if (lines.empty())
        return std::nullopt;
    std::chrono::nanoseconds first = std::chrono::nanoseconds::max();
    std::chrono::nanoseconds last = std::chrono::nanoseconds::min();
    for (const LineReport& line : lines) {
        if (line.firstByteIn.count() == 0)
            return std::nullopt;
        first = std::min(first, line.firstByteIn);
        last = std::max(last, line.lastByteOut);
    }
    return last - first;
}

std::chrono::microseconds cpuTimeBetween(const rusage& before, const rusage& after) {
    return toMicroseconds(after.ru_utime) + toMicroseconds(after.ru_stime) -
           toMicroseconds(before.ru_utime) - toMicroseconds(before.ru_stime);
}

rusage childrenUsage() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return usage;
}

std::optional<double> worstOf(const std::vector<std::optional<double>>& figures) {
    std::optional<double> worst;
    for (const std::optional<double>& figure : figures) {
        if (!figure)
            return std::nullopt;
        worst = std::max(worst.value_or(*figure), *figure);
    }
    return worst;
}

double toMs(std::chrono::nanoseconds duration) {
    return static_cast<double>(duration.count()) / 1e6;
}

}  // namespace oxu::bench
