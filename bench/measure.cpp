#include "bench/measure.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace oxu::bench {
namespace {

double percentileOfSorted(const std::vector<double>& sorted, double fraction) {
    const double position = fraction * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(position));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    const double weight = position - static_cast<double>(below);
    return sorted[below] + (sorted[above] - sorted[below]) * weight;
}

std::optional<long long> parseWholeInteger(const std::string& text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

}  // namespace

Summary summarize(std::vector<double> samples) {
    Summary summary;
    summary.count = samples.size();
    if (samples.empty())
        return summary;
    std::sort(samples.begin(), samples.end());
    summary.min = samples.front();
    summary.max = samples.back();
    summary.median = percentileOfSorted(samples, 0.5);
    summary.p10 = percentileOfSorted(samples, 0.1);
    summary.p90 = percentileOfSorted(samples, 0.9);
    return summary;
}

std::optional<double> ratioOfMedians(const Summary& a, const Summary& b) {
    if (a.count == 0 || b.count == 0 || !(b.median > 0))
        return std::nullopt;
    return a.median / b.median;
}

std::string findLine(const std::string& text, const std::string& prefix) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) == 0)
            return line;
    }
    return {};
}

std::optional<long long> cpuTicksFromStat(const std::string& statText) {
    // Fields after the command name: state is field 3, utime 14, stime 15.
    const std::size_t close = statText.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream rest(statText.substr(close + 1));
    std::vector<std::string> fields;
    std::string field;
    while (rest >> field && fields.size() < 13)
        fields.push_back(field);
    if (fields.size() < 13)
        return std::nullopt;
    const auto utime = parseWholeInteger(fields[11]);
    const auto stime = parseWholeInteger(fields[12]);
    if (!utime || !stime)
        return std::nullopt;
    return *utime + *stime;
}

std::optional<char> processStateFromStat(const std::string& statText) {
    const std::size_t close = statText.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream rest(statText.substr(close + 1));
    std::string state;
    if (!(rest >> state) || state.size() != 1)
        return std::nullopt;
    return state.front();
}

bool stillRunning(char state) {
    return state != 'Z' && state != 'X' && state != 'x';
}

std::optional<long long> cpuNanosFromSchedstat(const std::string& schedstatText) {
    std::istringstream fields(schedstatText);
    std::string first;
    if (!(fields >> first))
        return std::nullopt;
    return parseWholeInteger(first);
}

std::optional<long long> statusFieldKb(const std::string& statusText, const std::string& name) {
    std::istringstream lines(statusText);
    std::string line;
    const std::string prefix = name + ":";
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        std::istringstream value(line.substr(prefix.size()));
        std::string number;
        std::string unit;
        if (!(value >> number >> unit) || unit != "kB")
            return std::nullopt;
        return parseWholeInteger(number);
    }
    return std::nullopt;
}

std::optional<std::string> readTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad())
        return std::nullopt;
    return content.str();
}

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string formatNumber(std::optional<double> value, int decimals) {
    if (!value)
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, *value);
    return text;
}

}  // namespace oxu::bench
