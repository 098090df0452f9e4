#include "bench/device_report.h"

#include "bench/measure.h"
#include "device/report.h"

namespace oxu::bench {

std::vector<std::string> simulatorFlags(const DeviceSetup& setup) {
    // --timeout bounds every silence of the program, --wait its start: a
    // responder that fails cannot leave the device waiting for ever.
    std::vector<std::string> flags{"--image-size",
                                   std::to_string(setup.imageSize),
                                   "--stats",
                                   "--timeout",
                                   "5",
                                   "--wait",
                                   "10"};
    if (setup.baud) {
        flags.push_back("--baud");
        flags.push_back(std::to_string(*setup.baud));
    }
    return flags;
}

bool readVerdict(const std::string& output, UpdateRun& run) {
    const std::string line = findLine(output, "verdict:");
    const std::optional<sim::UpdateReport> verdict = sim::parseVerdict(line);
    if (!verdict) {
        run.ok = false;
        run.failure = line.empty() ? "oxu-device-sim printed no verdict"
                                   : "oxu-device-sim printed a verdict that does not read: " + line;
        return false;
    }
    run.ok = verdict->ok;
    run.timeMs = static_cast<double>(verdict->elapsed.count()) / 1000.0;
    const std::optional<sim::RoundTripStats> stats = sim::parseStats(findLine(output, "stats:"));
    if (stats && stats->count > 0) {
        run.rttMedianUs = static_cast<double>(stats->medianUs);
        run.rttP99Us = static_cast<double>(stats->p99Us);
        run.rttMaxUs = static_cast<double>(stats->maxUs);
    }
    if (!run.ok) {
        run.failure = "the simulated device reports a failed update: " +
                      (verdict->reason.empty() ? line : verdict->reason);
    }
    return run.ok;
}

}  // namespace oxu::bench
