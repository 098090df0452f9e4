#include "bench/gang_runs.h"

#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <sstream>
#include <thread>

#include "bench/gang_figures.h"
#include "bench/measure.h"
#include "bench/paced_line.h"
#include "kit/child_process.h"
#include "protocol/frames.h"

namespace oxu::bench {
namespace {

using kit::ChildProcess;
using std::chrono::milliseconds;

constexpr milliseconds kLineFinish{5000};
constexpr milliseconds kVerdictWait{15000};
// oxu-update writes every page of every port to standard error; a failure
// quotes only its end.
constexpr std::size_t kQuotedErrorChars = 400;

std::string lastPartOf(const std::string& text) {
    const std::string clean = trimmed(text);
    return clean.size() <= kQuotedErrorChars
               ? clean
               : "..." + clean.substr(clean.size() - kQuotedErrorChars);
}

std::string describeExit(const kit::ProgramResult& result) {
    if (result.timedOut)
        return "did not end in time and was killed";
    if (result.signal != 0)
        return "ended by signal " + std::to_string(result.signal);
    return "exited with status " + std::to_string(result.exitCode);
}

// The time the bytes of an update of imageSize bytes occupy a line at baud,
// both ways: a gang's program waits at least this long.
milliseconds lineTimeOf(std::size_t imageSize, long baud) {
    const std::size_t pages = (imageSize + PageSize - 1) / PageSize;
    const auto bytes =
        static_cast<long long>(kHeaderFrameSize + pages * (kPageRequestSize + PageSize + 2) + 1);
    return std::chrono::duration_cast<milliseconds>(PacedLine::byteTime(baud) * bytes);
}

// One oxu-update --json for every port: its exit, JSON summary and CPU.
void serveWithProgram(const GangSetup& setup, const std::vector<std::string>& ports,
                      const std::string& imagePath, milliseconds timeout, GangRun& gang) {
    std::vector<std::string> args;
    for (const std::string& port : ports)
        args.insert(args.end(), {"--device", port});
    args.insert(args.end(), {"--json", imagePath});
    // The children are reaped one at a time, here: what RUSAGE_CHILDREN
    // gains across one reaping is that child's own CPU time.
    const rusage before = childrenUsage();
    ChildProcess program(setup.updater, args);
    const kit::ProgramResult result = program.finish(timeout);
    gang.cpuMs = toMs(cpuTimeBetween(before, childrenUsage()));
    const std::optional<ProgramSummary> summary = readProgramSummary(result.out);
    if (summary)
        gang.programMs = summary->seconds * 1000.0;
    if (result.exitCode != 0) {
        // Its own words for the first port that failed, else the end of
        // what it said.
        gang.failure = setup.updater + " " + describeExit(result) + ": " +
                       (summary && !summary->firstProblem.empty() ? summary->firstProblem
                                                                  : lastPartOf(result.err));
    } else if (!summary) {
        gang.failure = setup.updater + " printed no JSON summary: " + lastPartOf(result.out);
    }
}

// The floor: a raw responder (no Qt) for each port, each on its own thread.
void serveWithRawThreads(const std::vector<std::string>& ports, const std::string& imagePath,
                         milliseconds timeout, GangRun& gang) {
    std::vector<std::string> failures(ports.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                failures[i] = makeRawResponder()->serve(ports[i], imagePath, timeout);
            } catch (const std::exception& error) {
                failures[i] = error.what();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& failure : failures) {
        if (!failure.empty() && gang.failure.empty())
            gang.failure = failure;
    }
}

}  // namespace

std::optional<ProgramSummary> readProgramSummary(const std::string& jsonLines) {
    std::istringstream lines(jsonLines);
    std::string line;
    while (std::getline(lines, line)) {
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        const QJsonObject record = document.object();
        if (record.value("record").toString() != "summary")
            continue;
        if (!record.value("seconds").isDouble() || !record.value("complete").isDouble())
            return std::nullopt;
        ProgramSummary summary;
        summary.seconds = record.value("seconds").toDouble();
        summary.complete = record.value("complete").toInt();
        summary.failed = record.value("failed").toInt();
        for (const QJsonValue& value : record.value("results").toArray()) {
            const QJsonObject result = value.toObject();
            if (result.value("result").toString() == "complete")
                continue;
            const QString problem =
                result.value("problem").toString(result.value("result").toString());
            summary.firstProblem =
                (result.value("device").toString() + ": " + problem).toStdString();
            break;
        }
        return summary;
    }
    return std::nullopt;
}

GangRun runGang(const GangSetup& setup, const std::string& imagePath) {
    GangRun gang;
    try {
        std::vector<std::unique_ptr<ChildProcess>> devices;
        std::vector<std::string> devicePaths;
        for (int i = 0; i < setup.devices; ++i) {
            devices.push_back(std::make_unique<ChildProcess>(setup.device.simulator,
                                                             simulatorFlags(setup.device)));
            devicePaths.push_back(awaitDevicePath(*devices.back()));
        }
        std::vector<std::unique_ptr<PacedLine>> lines;
        std::vector<std::string> ports;
        for (const std::string& path : devicePaths) {
            if (setup.device.baud)
                lines.push_back(std::make_unique<PacedLine>(path, *setup.device.baud));
            ports.push_back(lines.empty() ? path : lines.back()->programPath());
        }
        milliseconds timeout = setup.device.timeout;
        if (setup.device.baud)
            timeout += 2 * lineTimeOf(setup.device.imageSize, *setup.device.baud);
        if (setup.server == GangServer::Program)
            serveWithProgram(setup, ports, imagePath, timeout, gang);
        else
            serveWithRawThreads(ports, imagePath, timeout, gang);

        std::vector<LineReport> reports;
        double lineCpuMs = 0;
        for (const auto& line : lines) {
            reports.push_back(line->finish(kLineFinish));
            lineCpuMs += toMs(reports.back().cpu);
        }
        if (!lines.empty()) {
            gang.lineCpuMs = lineCpuMs;
            if (const auto span = spanOfLines(reports))
                gang.lineSpanMs = toMs(*span);
        }
        // After a failure a device would wait out its own timeout first.
        if (!gang.failure.empty()) {
            for (const auto& device : devices)
                device->sendSignal(SIGTERM);
        }
        const rusage beforeDevices = childrenUsage();
        for (std::size_t i = 0; i < devices.size(); ++i) {
            UpdateRun run;
            if (!reports.empty())
                run.line = reports[i];
            readVerdict(devices[i]->finish(kVerdictWait).out, run);
            if (run.ok && run.line && !run.line->failure.empty()) {
                run.ok = false;
                run.failure = "paced line: " + run.line->failure;
            }
            if (!run.ok && gang.failure.empty())
                gang.failure =
                    "device " + std::to_string(i + 1) + " (" + devicePaths[i] + "): " + run.failure;
            gang.runs.push_back(std::move(run));
        }
        gang.simulatorCpuMs = toMs(cpuTimeBetween(beforeDevices, childrenUsage()));
    } catch (const std::exception& error) {
        if (gang.failure.empty())
            gang.failure = error.what();
    }
    gang.ok = gang.failure.empty();
    return gang;
}

}  // namespace oxu::bench
