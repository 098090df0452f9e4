#include "runs/run_setup.h"

namespace oxu::runs {

std::vector<RecordSink*> PreparedRun::sinks() const {
    if (log)
        return {log.get()};
    return {};
}

std::string describeEmptyImage(const std::string& path) {
    return "the firmware file \"" + path + "\" is empty (0 bytes): nothing to send";
}

std::unique_ptr<PreparedRun> prepareRun(const RunRequest& request) {
    const std::vector<PortRequest>& ports = request.ports;
    if (ports.empty())
        throw RunNotStarted("no port to use: name one with --port or --device", true);
    if (const auto shared = findSharedDevice(ports)) {
        const auto name = [&](std::size_t i) {
            return "COM " + std::to_string(ports[i].number) + " (" + deviceFor(ports[i]) + ")";
        };
        throw RunNotStarted(name(shared->first) + " and " + name(shared->second) +
                                " are the same device (" + shared->device +
                                "); give each port its own",
                            true);
    }
    SchedulerSetup setup;
    setup.mode = request.station     ? RunMode::Station
                 : ports.size() == 1 ? RunMode::Single
                                     : RunMode::Gang;
    setup.ports = ports;
    setup.baud = request.baud;
    setup.timeout = request.timeout;
    setup.retries = request.retries;
    setup.downloadFirst = request.downloadFirst;
    setup.context = {request.program, request.version, hostName(), request.baud};
    setup.runId = newRunId();
    try {
        auto run = std::make_unique<PreparedRun>(
            PreparedRun{std::move(setup), ImageSnapshot::take(request.image), nullptr});
        // Checked on the bytes read: the file may have been emptied since it was chosen.
        if (run->image.size() == 0)
            throw RunNotStarted(describeEmptyImage(request.image), true);
        if (request.logPath)
            run->log = std::make_unique<AuditLog>(*request.logPath);
        return run;
    } catch (const ImageError& failure) {
        throw RunNotStarted(failure.what(), false);
    } catch (const AuditLogError& failure) {
        throw RunNotStarted(failure.what(), false);
    }
}

}  // namespace oxu::runs
