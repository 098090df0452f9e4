#pragma once

// What the benchmark asks of the simulated device (oxu-device-sim) and what
// it reads back from it: the flags of one timed update, and the outcome in
// the device's verdict and stats lines.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "bench/paced_line.h"

namespace oxu::bench {

// The outcome of one update.
struct UpdateRun {
    bool ok = false;
    std::string failure;                // what went wrong and where; empty when ok
    double timeMs = 0;                  // the device's time_ms: first header byte to completion
    std::optional<double> rttMedianUs;  // per-page round trip at the device
    std::optional<double> rttP99Us;
    std::optional<double> rttMaxUs;
    std::optional<LineReport> line;  // the paced line's report, when paced
};

// Where the simulated device program is, and how the updates run.
struct DeviceSetup {
    std::string simulator;  // path of oxu-device-sim
    std::size_t imageSize = 0;
    std::optional<long> baud;  // pace the line and the device at this rate
    std::chrono::milliseconds timeout{20000};
};

// The simulator's flags for setup: exact frame lengths (so the last page
// ends on its length, not on a quiet period), round-trip statistics, bounded
// waits, and pacing when asked.
std::vector<std::string> simulatorFlags(const DeviceSetup& setup);

// Fills run from the simulator's output (its verdict and stats lines, read
// with the simulator's own parser). Returns false, with run.failure giving
// the device's reason, when the verdict is missing, unreadable or not ok.
bool readVerdict(const std::string& output, UpdateRun& run);

}  // namespace oxu::bench
