#include "bench/device_report.h"

#include "bench/measure.h"

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
    const std::string verdict = findLine(output, "verdict:");
    if (verdict.empty()) {
        run.ok = false;
        run.failure = "oxu-device-sim printed no verdict";
        return false;
    }
    const auto fields = parseFields(verdict);
    run.ok = verdict.rfind("verdict: ok", 0) == 0;
    run.timeMs = numberField(fields, "time_ms").value_or(0);
    const auto stats = parseFields(findLine(output, "stats:"));
    run.rttMedianUs = numberField(stats, "rtt_median_us");
    run.rttP99Us = numberField(stats, "rtt_p99_us");
    run.rttMaxUs = numberField(stats, "rtt_max_us");
    if (!run.ok) {
        const auto reason = fields.find("reason");
        run.failure = "the simulated device reports a failed update: " +
                      (reason == fields.end() ? verdict : reason->second);
    }
    return run.ok;
}

}  // namespace oxu::bench
