#pragma once

// Figures of the window program (oxu-updater) run as its own process under
// the offscreen platform: the CPU it uses while idle, and its peak resident
// memory during an update driven through its test-control input.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "kit/pty.h"

namespace oxu::bench {

// A program to watch while it idles.
struct IdleSubject {
    std::string name;
    std::string program;
    std::vector<std::string> args;
    kit::Environment environment;  // added to ours
};

struct IdleCost {
    std::string name;
    std::optional<double> cpuPercent;       // of one core, from per-thread run time (ns)
    std::optional<double> cpuPercentTicks;  // the same from utime+stime (clock ticks)
    std::optional<long long> peakRssKb;     // VmHWM after idling
    std::string failure;                    // empty when measured
};

// Pseudo-terminals on which nothing happens, to name as the ports of a
// program that idles: it can open them and hears nothing. Both ends stay
// open until this is destroyed. Throws std::runtime_error (from the
// terminal helper) when one cannot be opened; then none stays open.
class QuietPorts {
public:
    explicit QuietPorts(int count);
    ~QuietPorts();
    QuietPorts(const QuietPorts&) = delete;
    QuietPorts& operator=(const QuietPorts&) = delete;

    // "--device <path>" for each terminal, in order.
    std::vector<std::string> deviceArguments() const;

private:
    void close();

    std::vector<kit::PtyEnds> m_ends;
};

// Starts every subject (offscreen), lets them settle, then measures the CPU
// each uses over the same `idle` window, and ends them. Side by side, so
// that the machine's load weighs on each alike. One result per subject, in
// order; never throws.
std::vector<IdleCost> measureIdleCosts(const std::vector<IdleSubject>& subjects,
                                       std::chrono::milliseconds settle,
                                       std::chrono::milliseconds idle);

// The least Qt program (a QApplication, no window), with a 10 ms timer whose
// tick does nothing or with no timer at all: what the window's idle cost is
// held against. Runs until killed.
int runProbe(int argc, char** argv, bool withTimer);

struct ProcessUpdate {
    std::optional<long long> peakRssKb;  // VmHWM right after the update completed
    std::optional<double> timeMs;        // the device's time_ms
    std::string failure;                 // empty when the update completed
};

// Runs one update of imagePath (imageSize bytes) through the window program
// scriptedUpdater (oxu-updater-scripted, driven through its standard input)
// against a new simulated device, and reads the process's peak resident
// memory before ending it.
ProcessUpdate measureProcessUpdate(const std::string& scriptedUpdater, const std::string& simulator,
                                   const std::string& imagePath, std::size_t imageSize);

// The CPU time of process pid so far: nanoseconds summed over its threads
// (from schedstat) and clock ticks (utime+stime from stat).
struct CpuSample {
    std::optional<long long> nanos;
    std::optional<long long> ticks;
};
CpuSample sampleCpu(int pid);

}  // namespace oxu::bench
