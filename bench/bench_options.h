#pragma once

// The command line of oxu-bench.

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/line_choices.h"

namespace oxu::bench {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The hidden modes in which oxu-bench runs as an idle program for its own
// idle measurement: the least Qt program with a 10 ms timer, or with none.
enum class Probe { None, Timer, Idle };

struct BenchOptions {
    int runs = 15;                        // timed updates of each responder, unpaced
    int pages = 255;                      // pages of the unpaced image
    int pacedRuns = 5;                    // timed updates of each responder on the paced line
    int pacedPages = 32;                  // pages of the paced image
    long baud = kDefaultLineChoice.baud;  // the paced line's rate
    int gangDevices = 16;                 // devices updated at once by oxu-update; 0: none
    int gangRuns = 3;                     // rounds of gang updates (paced and unpaced, 1 and N)
    std::chrono::milliseconds idleSettle{1000};
    std::chrono::milliseconds idle{5000};
    bool warmUp = true;     // one untimed update of each responder first
    bool realtime = false;  // run under SCHED_FIFO (needs root or CAP_SYS_NICE)
    bool help = false;
    Probe probe = Probe::None;
    std::string simulator;        // oxu-device-sim
    std::string updater;          // oxu-updater, for its idle cost
    std::string scriptedUpdater;  // oxu-updater-scripted, for a whole update as a program
    std::string cliUpdater;       // oxu-update, for the gang rows
    std::string station;          // oxu-station, for its idle cost
    std::string scriptedStation;  // oxu-station-scripted, for the gang rows through the station
};

// The arguments that start oxu-bench in a probe mode.
inline constexpr const char* kTimerProbeOption = "--timer-probe";
inline constexpr const char* kIdleProbeOption = "--idle-probe";

// Parses the arguments (without the program name) over the defaults given.
// --quick sets 1 run, 8 pages, 1 paced run of 2 pages, a 1 s idle, no
// warm-up and one round of a 2-device gang; the other options given still apply. Throws UsageError
// saying which argument is wrong and why.
BenchOptions parseBenchOptions(const std::vector<std::string>& args, BenchOptions defaults);

// The --help text.
std::string benchUsage();

}  // namespace oxu::bench
