#pragma once

// Pure helpers of the benchmark: summaries of repeated measurements and the
// process figures read from /proc. No Qt, no I/O beyond reading a named file.

#include <optional>
#include <string>
#include <vector>

namespace oxu::bench {

// The spread of repeated measurements of one quantity.
struct Summary {
    std::size_t count = 0;
    double median = 0;
    double p10 = 0;
    double p90 = 0;
    double min = 0;
    double max = 0;
};

// Summarises samples (any order). Percentiles interpolate linearly between
// the sorted samples; an empty set gives a Summary with count 0 and zeros.
Summary summarize(std::vector<double> samples);

// The ratio a / b of two medians; nothing when either side has no samples
// or b is not positive.
std::optional<double> ratioOfMedians(const Summary& a, const Summary& b);

// The line of text starting with prefix (e.g. "verdict:"), or empty.
std::string findLine(const std::string& text, const std::string& prefix);

// utime + stime in clock ticks from the text of /proc/<pid>/stat; nothing
// when the text does not have the fields. The command name in parentheses
// may itself hold blanks and parentheses.
std::optional<long long> cpuTicksFromStat(const std::string& statText);

// The state letter (R, S, D, Z...) from the text of /proc/<pid>/stat;
// nothing when the text has no state after the command name.
std::optional<char> processStateFromStat(const std::string& statText);

// Whether a process in that state still runs: not a zombie (ended, not yet
// reaped) nor dead.
bool stillRunning(char state);

// Run time in nanoseconds from the text of /proc/<pid>/task/<tid>/schedstat
// (its first field); nothing when malformed.
std::optional<long long> cpuNanosFromSchedstat(const std::string& schedstatText);

// The value in kB of a "Name:   1234 kB" line of /proc/<pid>/status, e.g.
// VmHWM; nothing when the line is missing.
std::optional<long long> statusFieldKb(const std::string& statusText, const std::string& name);

// The whole content of a file (e.g. under /proc); nothing when unreadable.
std::optional<std::string> readTextFile(const std::string& path);

// text without the blanks and line ends around it, for one-line messages.
std::string trimmed(const std::string& text);

// A number in fixed notation with `decimals` digits, for tables and the
// key=value line ("-" for nothing).
std::string formatNumber(std::optional<double> value, int decimals);

}  // namespace oxu::bench
