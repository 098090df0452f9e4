#pragma once

// Figures of the window program (oxu-updater) run as its own process under
// the offscreen platform: the CPU it uses while idle, and its peak resident
// memory during an update driven through its test-control input.

#include <chrono>
#include <optional>
#include <string>

namespace oxu::bench {

struct IdleCost {
    std::optional<double> cpuPercent;       // of one core, from per-thread run time (ns)
    std::optional<double> cpuPercentTicks;  // the same from utime+stime (clock ticks)
    std::optional<long long> peakRssKb;     // VmHWM after idling
    std::string failure;                    // empty when measured
};

// Starts updater (offscreen), lets it settle, then measures the CPU it uses
// over `idle`, and ends it.
IdleCost measureIdleCost(const std::string& updater, std::chrono::milliseconds settle,
                         std::chrono::milliseconds idle);

struct ProcessUpdate {
    std::optional<long long> peakRssKb;  // VmHWM right after the update completed
    std::optional<double> timeMs;        // the device's time_ms
    std::string failure;                 // empty when the update completed
};

// Runs one update of imagePath (imageSize bytes) through updater, driven by
// its test-control input against a new simulated device, and reads the
// process's peak resident memory before ending it.
ProcessUpdate measureProcessUpdate(const std::string& updater, const std::string& simulator,
                                   const std::string& imagePath, std::size_t imageSize);

// The CPU time of process pid so far: nanoseconds summed over its threads
// (from schedstat) and clock ticks (utime+stime from stat).
struct CpuSample {
    std::optional<long long> nanos;
    std::optional<long long> ticks;
};
CpuSample sampleCpu(int pid);

}  // namespace oxu::bench
