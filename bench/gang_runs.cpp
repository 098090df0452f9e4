#include "bench/gang_runs.h"

#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <charconv>
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
// The station window closes once its standard input ends.
constexpr milliseconds kStationClose{10000};
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

// One station window for every port, offscreen: Start pressed through its
// script, then the window's own word that the run finished (every port
// closed, every record written), then closed.
void serveWithStation(const GangSetup& setup, const std::vector<std::string>& ports,
                      const std::string& imagePath, milliseconds timeout, GangRun& gang) {
    std::vector<std::string> args;
    for (const std::string& port : ports)
        args.insert(args.end(), {"--device", port});
    args.push_back(imagePath);
    const rusage before = childrenUsage();
    ChildProcess station(setup.station, args, {{"QT_QPA_PLATFORM", "offscreen"}},
                         ChildProcess::Input::Pipe);
    const auto pressed = std::chrono::steady_clock::now();
    const bool finished =
        station.writeInput("start\n") && station.waitForLine("finished ", timeout).has_value();
    const std::chrono::duration<double, std::milli> ran =
        std::chrono::steady_clock::now() - pressed;
    const kit::ProgramResult result = station.finish(kStationClose);
    gang.cpuMs = toMs(cpuTimeBetween(before, childrenUsage()));
    const StationReport report = readStationReport(result.out);
    if (!finished) {
        gang.failure = setup.station + " did not finish the run (it " + describeExit(result) +
                       "): " + lastPartOf(result.err + result.out);
        return;
    }
    gang.programMs = ran.count();
    if (report.exitCode != 0) {
        gang.failure = setup.station + " finished with exit code " +
                       std::to_string(report.exitCode.value_or(-1)) + ": " + report.firstProblem();
    } else if (result.exitCode != 0) {
        gang.failure =
            setup.station + " " + describeExit(result) + " as it closed: " + lastPartOf(result.err);
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

std::string StationReport::firstProblem() const {
    for (const auto& [port, state] : tiles) {
        if (state != "complete")
            return "COM " + std::to_string(port) + ": " + state;
    }
    return "";
}

StationReport readStationReport(const std::string& output) {
    StationReport report;
    std::istringstream lines(output);
    std::string line;
    const auto number = [](std::string_view text) -> std::optional<int> {
        int value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc() || end == text.data())
            return std::nullopt;
        return value;
    };
    while (std::getline(lines, line)) {
        const std::string_view text = line;
        if (text.starts_with("finished ")) {
            report.exitCode = number(text.substr(9));
        } else if (text.starts_with("tile COM ")) {
            const std::size_t colon = text.find(": ");
            const std::optional<int> port =
                colon == std::string_view::npos ? std::nullopt : number(text.substr(9, colon - 9));
            if (port)
                report.tiles[*port] = std::string(text.substr(colon + 2));
        }
    }
    return report;
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
        switch (setup.server) {
            case GangServer::Program:
                serveWithProgram(setup, ports, imagePath, timeout, gang);
                break;
            case GangServer::Station:
                serveWithStation(setup, ports, imagePath, timeout, gang);
                break;
            case GangServer::RawThreads:
                serveWithRawThreads(ports, imagePath, timeout, gang);
                break;
        }

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
