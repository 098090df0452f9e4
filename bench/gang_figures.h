#pragma once

// Figures of several devices updated at once by one program: the span they
// took together, the CPU a child used, the worst of the devices' figures.
// Plain C++, no I/O.

#include <sys/resource.h>

#include <chrono>
#include <optional>
#include <vector>

#include "bench/paced_line.h"

namespace oxu::bench {

// From the earliest first byte any line carried to the latest last byte any
// line delivered: the wall time of updates that ran at once, as the lines
// saw them. Nothing when there are no lines or one of them carried nothing
// (its device was not updated, so the span would leave it out).
std::optional<std::chrono::nanoseconds> spanOfLines(const std::vector<LineReport>& lines);

// The user and system CPU time of the children reaped between two readings
// of getrusage(RUSAGE_CHILDREN): of exactly one child when it alone was
// reaped in between.
std::chrono::microseconds cpuTimeBetween(const rusage& before, const rusage& after);

// The CPU time of the children this process reaped so far
// (getrusage(RUSAGE_CHILDREN)).
rusage childrenUsage();

// The largest of one figure over several devices. Nothing when there are
// none or any device lacks it: a missing device could be the worst one.
std::optional<double> worstOf(const std::vector<std::optional<double>>& figures);

// Milliseconds as a double, for the table.
double toMs(std::chrono::nanoseconds duration);

}  // namespace oxu::bench
