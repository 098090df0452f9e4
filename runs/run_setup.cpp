#include "runs/run_setup.h"

namespace oxu::runs {

std::vector<RecordSink*> PreparedRun::sinks() const {
    if (log)
        return {log.get()};
    return {};
}

std::unique_ptr<PreparedRun> prepareRun(const RunRequest& request) {
    const std::vector<PortRequest>& ports = request.ports;
    if (ports.empty())
        throw RunNotStarted("no port to use: name one with --port or --device");
    if (const auto shared = findSharedDevice(ports)) {
        const auto name = [&](std::size_t i) {
            return "COM " + std::to_string(ports[i].number) + " (" + deviceFor(ports[i]) + ")";
        };
        throw RunNotStarted(name(shared->first) + " and " + name(shared->second) +
                            " are the same device (" + shared->device +
                            "); give each port its own");
    }
    SchedulerSetup setup;
    setup.mode = request.station     ? RunMode::Station
                 : ports.size() == 1 ? RunMode::Single
                                     : RunMode::Gang;
    setup.ports = ports;
    setup.baud = request.baud;
    setup.timeout = request.timeout;
    setup.retries = request.retries;
    setup.context = {request.program, request.version, hostName(), request.baud};
    setup.runId = newRunId();
    try {
        auto run = std::make_unique<PreparedRun>(
            PreparedRun{std::move(setup), ImageSnapshot::take(request.image), nullptr});
        if (run->image.size() == 0)
            throw RunNotStarted("\"" + request.image +
                                "\" is empty: there is nothing to send; choose the firmware image");
        if (request.logPath)
            run->log = std::make_unique<AuditLog>(*request.logPath);
        return run;
    } catch (const ImageError& failure) {
        throw RunNotStarted(failure.what());
    } catch (const AuditLogError& failure) {
        throw RunNotStarted(failure.what());
    }
}

}  // namespace oxu::runs
