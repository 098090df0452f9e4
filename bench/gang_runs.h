#pragma once

// Several simulated devices updated at once by one oxu-update or by one
// station window (a gang), each device on its own pseudo-terminal,
// optionally each behind its own paced line. The devices and the program are child processes of the
// benchmark; the figures come from the devices' verdicts, the lines' reports, the program's JSON
// summary and the children's own CPU accounting.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/update_runs.h"

namespace oxu::bench {

// What serves the devices: one oxu-update for them all; one station window
// (oxu-station-scripted, offscreen, its Start pressed once); or, as the floor
// the programs are held against, a raw responder (no Qt) per device, each on
// a thread of this process.
enum class GangServer { Program, Station, RawThreads };

struct GangSetup {
    GangServer server = GangServer::Program;
    std::string updater;  // path of oxu-update
    std::string station;  // path of oxu-station-scripted
    DeviceSetup device;   // every device's simulator, image size and pace
    int devices = 1;      // 1 to 16
};

struct GangRun {
    bool ok = false;
    std::string failure;          // what failed and where; empty when ok
    std::vector<UpdateRun> runs;  // each device's verdict, round trips and line, in port order
    // Paced: from the first byte into any line to the last byte out of any.
    std::optional<double> lineSpanMs;
    // The run's duration as oxu-update reports it (JSON summary, to the ms).
    std::optional<double> programMs;
    std::optional<double> cpuMs;           // the program's user + system time (not the floor's)
    std::optional<double> lineCpuMs;       // the paced lines' threads, together
    std::optional<double> simulatorCpuMs;  // the simulated devices, together
};

// What oxu-update's JSON summary record says, found among the JSON lines of
// its standard output; nothing when there is no readable summary.
struct ProgramSummary {
    double seconds = 0;  // the run's duration, to the ms
    int complete = 0;
    int failed = 0;
    std::string firstProblem;  // "<device>: <problem>" of the first port that failed
};
std::optional<ProgramSummary> readProgramSummary(const std::string& jsonLines);

// What the scripted station window said of a run on its standard output:
// the exit code its "finished" line gave, and each tile's last state line.
struct StationReport {
    std::optional<int> exitCode;       // nothing until a run finished
    std::map<int, std::string> tiles;  // port number: its last state line
    // "COM <n>: <state>" of the first tile, by port, whose last state is not
    // "complete"; empty when every tile completed.
    std::string firstProblem() const;
};
StationReport readStationReport(const std::string& output);

// Starts setup.devices simulated devices (and their paced lines when
// setup.device.baud is set), updates them all at once with imagePath
// through one oxu-update --json, one station window or the raw floor, and
// collects every figure. Never throws: every failure
// is in the result, naming the program or the device and its terminal.
GangRun runGang(const GangSetup& setup, const std::string& imagePath);

}  // namespace oxu::bench
