// oxu-bench: how fast the update engine and the window serve an update,
// compared with the least code that could, on the same machine in one run.

#include <sched.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <tuple>
#include <vector>

#include "bench/bench_options.h"
#include "bench/gang_figures.h"
#include "bench/gang_runs.h"
#include "bench/measure.h"
#include "bench/metrics.h"
#include "bench/update_runs.h"
#include "bench/window_process.h"
#include "protocol/frames.h"

namespace {

using namespace oxu::bench;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The targets the figures are held against.
constexpr double kEngineOverBareTarget = 1.5;
constexpr double kWindowOverBareTarget = 2.0;
constexpr double kRttP99TargetUs = 1000;
constexpr double kPacedTarget = 1.005;
// Devices updated at once share one program; on their lines they should take
// hardly longer than one alone.
constexpr double kGangPacedTarget = 1.02;
// The window's timer runs only while an update is watched, so an idle window
// should cost no more than an event loop with nothing to do.
constexpr double kIdleTargetPercent = 0.05;
// The station window, with the image it is given, shows these ports while it
// waits for Start.
constexpr int kStationIdlePorts = 4;
// 16 boards at once through the station window cost no more than through
// oxu-update.
constexpr double kStationOverUpdateTarget = 1.02;

// Above ordinary work, far below the kernel's own real-time threads.
constexpr int kRealtimePriority = 10;

// An image of pages x 256 bytes of every value (0x0A, 0x11, 0xAA, 0x55
// included), the same in every run.
std::string writeImage(const std::string& directory, int pages) {
    const std::string path = directory + "/image-" + std::to_string(pages) + ".bin";
    std::mt19937 random(20240601u + static_cast<unsigned>(pages));
    std::string bytes(static_cast<std::size_t>(pages) * oxu::PageSize, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random() & 0xFF);
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file)
        throw std::runtime_error("Cannot write the test image " + path);
    return path;
}

// The timed updates of one responder (UpdateRun), or the gang updates of
// one kind (GangRun: paced or not, one device or several, program or floor).
template <typename Run>
struct Series {
    explicit Series(std::string seriesName) : name(std::move(seriesName)) {}

    std::string name;
    std::vector<Run> runs;  // the completed ones
    int failures = 0;

    void add(Run run) {
        if (run.ok) {
            runs.push_back(std::move(run));
            return;
        }
        ++failures;
        std::cerr << "\noxu-bench: " << name << " update failed: " << run.failure << '\n';
    }

    // One sample of each completed run that has the figure.
    std::vector<double> samples(
        const std::function<std::optional<double>(const Run&)>& figure) const {
        std::vector<double> values;
        for (const Run& run : runs) {
            if (const std::optional<double> value = figure(run))
                values.push_back(*value);
        }
        return values;
    }
};
using UpdateSeries = Series<UpdateRun>;
using GangSeries = Series<GangRun>;

// A figure of every device of a gang run, taken at its worst.
std::optional<double> worstDevice(const GangRun& run, std::optional<double> UpdateRun::*figure) {
    std::vector<std::optional<double>> figures;
    for (const UpdateRun& device : run.runs)
        figures.push_back(device.*figure);
    return worstOf(figures);
}

std::optional<double> worstLineRatio(const GangRun& run) {
    std::vector<std::optional<double>> ratios;
    for (const UpdateRun& device : run.runs)
        ratios.push_back(device.line ? std::optional(device.line->ratio) : std::nullopt);
    return worstOf(ratios);
}

std::optional<double> lineRatioOf(const UpdateRun& run) {
    return run.line ? std::optional(run.line->ratio) : std::nullopt;
}

// The programs watched side by side while idle, in this order: the windows,
// and what they are held against.
enum IdleSubjectIndex {
    kWindowIdle,
    kWindowNoGlib,
    kStationIdle,
    kQtFloor,
    kTimerProbe,
    kTimerProbeNoGlib
};

// The station window is given its ports (terminals on which nothing
// happens) and an image, as an operator would start it before pressing Start.
std::vector<IdleSubject> idleSubjects(const BenchOptions& options, const QuietPorts& stationPorts,
                                      const std::string& image) {
    const std::string bench = QCoreApplication::applicationFilePath().toStdString();
    const oxu::kit::Environment noGlib = {{"QT_NO_GLIB", "1"}};
    std::vector<std::string> stationArgs = stationPorts.deviceArguments();
    stationArgs.push_back(image);
    return {
        {"oxu-updater", options.updater, {}, {}},
        {"oxu-updater, QT_NO_GLIB=1", options.updater, {}, noGlib},
        {"oxu-station", options.station, stationArgs, {}},
        {"bare Qt program", bench, {kIdleProbeOption}, {}},
        {"bare Qt 10 ms timer", bench, {kTimerProbeOption}, {}},
        {"bare Qt 10 ms timer, QT_NO_GLIB=1", bench, {kTimerProbeOption}, noGlib},
    };
}

// Real-time scheduling for this process and all it starts, so that the
// other work of a shared machine cannot delay a page by a time slice.
std::string raisePriority() {
    sched_param parameters{};
    parameters.sched_priority = kRealtimePriority;
    if (::sched_setscheduler(0, SCHED_FIFO, &parameters) != 0)
        return std::string("normal (SCHED_FIFO refused: ") + std::strerror(errno) + ")";
    return "SCHED_FIFO " + std::to_string(kRealtimePriority) + " (--realtime)";
}

// The one-minute load average, for the reader to judge how busy the machine was.
std::optional<double> loadAverage() {
    const auto text = readTextFile("/proc/loadavg");
    char* end = nullptr;
    const double load = text ? std::strtod(text->c_str(), &end) : 0;
    if (!text || end == text->c_str())
        return std::nullopt;
    return load;
}

// Everything one run measured.
struct Collected {
    std::string scheduling;
    bool realtime = false;
    std::optional<double> loadBefore;
    std::optional<double> loadAfter;
    UpdateSeries raw{"raw"};
    UpdateSeries bare{"bare"};
    UpdateSeries engine{"engine"};
    UpdateSeries window{"window"};
    UpdateSeries barePaced{"bare paced"};
    UpdateSeries enginePaced{"engine paced"};
    GangSeries onePaced{"oxu-update, one device paced"};
    GangSeries gangPaced{"oxu-update, gang paced"};
    GangSeries oneUnpaced{"oxu-update, one device unpaced"};
    GangSeries gangUnpaced{"oxu-update, gang unpaced"};
    GangSeries floorOnePaced{"raw responder, one device paced"};
    GangSeries floorGangPaced{"raw responders, gang paced"};
    GangSeries stationGangPaced{"oxu-station, gang paced"};
    ProcessUpdate processUpdate;
    std::vector<IdleCost> idle;  // in IdleSubjectIndex order

    int failures() const {
        int count = (processUpdate.failure.empty() ? 0 : 1) +
                    static_cast<int>(std::count_if(idle.begin(), idle.end(), [](const auto& cost) {
                        return !cost.failure.empty();
                    }));
        for (const UpdateSeries* series : {&raw, &bare, &engine, &window, &barePaced, &enginePaced})
            count += series->failures;
        for (const GangSeries* series : {&onePaced, &gangPaced, &oneUnpaced, &gangUnpaced,
                                         &floorOnePaced, &floorGangPaced, &stationGangPaced})
            count += series->failures;
        return count;
    }
};

Collected collect(const BenchOptions& options) {
    Collected c;
    c.loadBefore = loadAverage();
    c.scheduling = options.realtime ? raisePriority() : "normal";
    c.realtime = c.scheduling.starts_with("SCHED_FIFO");
    const QTemporaryDir scratch(QDir::tempPath() + "/oxu-bench-XXXXXX");
    if (!scratch.isValid())
        throw std::runtime_error("Cannot create a scratch directory under " +
                                 QDir::tempPath().toStdString() + ": " +
                                 scratch.errorString().toStdString());
    const std::string image = writeImage(scratch.path().toStdString(), options.pages);
    const std::string pacedImage = writeImage(scratch.path().toStdString(), options.pacedPages);

    std::unique_ptr<Responder> raw = makeRawResponder();
    std::unique_ptr<Responder> bare = makeBareResponder();
    std::unique_ptr<Responder> engine = makeEngineResponder();
    std::unique_ptr<Responder> window = makeWindowResponder();
    DeviceSetup unpaced;
    unpaced.simulator = options.simulator;
    unpaced.imageSize = static_cast<std::size_t>(options.pages) * oxu::PageSize;
    DeviceSetup paced = unpaced;
    paced.imageSize = static_cast<std::size_t>(options.pacedPages) * oxu::PageSize;
    paced.baud = options.baud;

    std::fprintf(stderr, "oxu-bench: %d interleaved runs of %d pages", options.runs, options.pages);
    if (options.warmUp) {
        std::fprintf(stderr, " after a warm-up");
        for (Responder* responder : {raw.get(), bare.get(), engine.get(), window.get()}) {
            const UpdateRun run = runUpdate(*responder, unpaced, image);
            if (!run.ok)
                std::cerr << "\noxu-bench: warm-up update failed: " << run.failure << '\n';
        }
    }
    // Interleaved, so that whatever else the machine does hits all of them alike.
    for (int i = 0; i < options.runs; ++i) {
        c.raw.add(runUpdate(*raw, unpaced, image));
        c.bare.add(runUpdate(*bare, unpaced, image));
        c.engine.add(runUpdate(*engine, unpaced, image));
        c.window.add(runUpdate(*window, unpaced, image));
        std::fputc('.', stderr);
    }
    std::fprintf(stderr, "\noxu-bench: %d paced runs of %d pages at %ld baud", options.pacedRuns,
                 options.pacedPages, options.baud);
    for (int i = 0; i < options.pacedRuns; ++i) {
        c.barePaced.add(runUpdate(*bare, paced, pacedImage));
        c.enginePaced.add(runUpdate(*engine, paced, pacedImage));
        std::fputc('.', stderr);
    }
    if (options.gangDevices > 0) {
        std::fprintf(stderr,
                     "\noxu-bench: %d rounds of oxu-update on 1 and on %d devices at once, "
                     "paced (%d pages) and unpaced (%d pages), and of oxu-station on as many "
                     "paced",
                     options.gangRuns, options.gangDevices, options.pacedPages, options.pages);
    }
    GangSetup gang;
    gang.updater = options.cliUpdater;
    gang.station = options.scriptedStation;
    for (int i = 0; i < options.gangRuns && options.gangDevices > 0; ++i) {
        gang.device = paced;
        for (auto [server, one, all] :
             {std::tuple{GangServer::RawThreads, &c.floorOnePaced, &c.floorGangPaced},
              std::tuple{GangServer::Program, &c.onePaced, &c.gangPaced}}) {
            gang.server = server;
            gang.devices = 1;
            one->add(runGang(gang, pacedImage));
            gang.devices = options.gangDevices;
            all->add(runGang(gang, pacedImage));
        }
        // The same devices through the station window, right after the
        // same gang through oxu-update, so that the two share the round.
        gang.server = GangServer::Station;
        c.stationGangPaced.add(runGang(gang, pacedImage));
        gang.server = GangServer::Program;
        gang.device = unpaced;
        gang.devices = 1;
        c.oneUnpaced.add(runGang(gang, image));
        gang.devices = options.gangDevices;
        c.gangUnpaced.add(runGang(gang, image));
        std::fputc('.', stderr);
    }
    std::fprintf(stderr, "\noxu-bench: the window program: one update, then %lld ms idle\n",
                 static_cast<long long>(options.idle.count()));
    c.processUpdate =
        measureProcessUpdate(options.scriptedUpdater, options.simulator, image, unpaced.imageSize);
    if (!c.processUpdate.failure.empty())
        std::cerr << "oxu-bench: window program update failed: " << c.processUpdate.failure << '\n';
    const QuietPorts stationPorts(kStationIdlePorts);
    c.idle = measureIdleCosts(idleSubjects(options, stationPorts, pacedImage), options.idleSettle,
                              options.idle);
    for (const IdleCost& cost : c.idle) {
        if (!cost.failure.empty())
            std::cerr << "oxu-bench: idle measurement of " << cost.name
                      << " failed: " << cost.failure << '\n';
    }
    c.loadAfter = loadAverage();
    return c;
}

std::vector<MetricSection> summarise(const BenchOptions& options, const Collected& c) {
    const auto ms = [](const UpdateSeries& s) { return s.samples(&UpdateRun::timeMs); };
    const auto over = [&ms](const UpdateSeries& a, const UpdateSeries& b) {
        return once(ratioOfMedians(summarize(ms(a)), summarize(ms(b))));
    };
    const auto median = [](const UpdateSeries& s) { return s.samples(&UpdateRun::rttMedianUs); };
    const auto p99 = [](const UpdateSeries& s) { return s.samples(&UpdateRun::rttP99Us); };
    const auto max = [](const UpdateSeries& s) { return s.samples(&UpdateRun::rttMaxUs); };
    const auto paced = [](const UpdateSeries& s) { return s.samples(lineRatioOf); };
    const auto cpu = [&c](IdleSubjectIndex subject) { return once(c.idle[subject].cpuPercent); };
    const auto kb = [](std::optional<long long> value) {
        return value ? once(static_cast<double>(*value)) : once(std::nullopt);
    };
    const IdleCost& window = c.idle[kWindowIdle];
    const auto gangMs = [](const GangSeries& s, std::optional<double> GangRun::*figure) {
        return s.samples([figure](const GangRun& run) { return run.*figure; });
    };
    const auto gangOver = [&gangMs](const GangSeries& a, const GangSeries& b, int devices,
                                    std::optional<double> GangRun::*figure) {
        const std::optional<double> ratio =
            ratioOfMedians(summarize(gangMs(a, figure)), summarize(gangMs(b, figure)));
        return once(ratio ? std::optional(*ratio / devices) : std::nullopt);
    };
    const auto cpuPerDevice = [](const GangSeries& s) {
        return s.samples([](const GangRun& run) {
            return run.cpuMs ? std::optional(*run.cpuMs / static_cast<double>(run.runs.size()))
                             : std::nullopt;
        });
    };
    // CPU over the span of the paced updates, in % of one core.
    const auto shareOfSpan = [](const GangSeries& s, std::optional<double> GangRun::*cpu) {
        return s.samples([cpu](const GangRun& run) -> std::optional<double> {
            if (!(run.*cpu) || !run.lineSpanMs || !(*run.lineSpanMs > 0))
                return std::nullopt;
            return *(run.*cpu) / *run.lineSpanMs * 100.0;
        });
    };
    const auto worstRtt = [](const GangSeries& s) {
        return s.samples([](const GangRun& run) { return worstDevice(run, &UpdateRun::rttP99Us); });
    };
    const auto slowestLine = [](const GangSeries& s) { return s.samples(worstLineRatio); };
    const std::string n = std::to_string(options.gangDevices);

    const std::string pages = std::to_string(options.pages) + " pages";
    const int pacedBytes = oxu::kHeaderFrameSize +
                           options.pacedPages * (oxu::kPageRequestSize + oxu::PageSize + 2) + 1;
    const auto& lastPaced = c.enginePaced.runs;
    const std::string pacedHeading =
        "Paced line at " + std::to_string(options.baud) + " baud, " +
        std::to_string(options.pacedPages) + " pages: " +
        std::to_string(lastPaced.empty() || !lastPaced.back().line
                           ? 0
                           : lastPaced.back().line->bytesToDevice +
                                 lastPaced.back().line->bytesToProgram) +
        " bytes carried both ways (" + std::to_string(pacedBytes) + " expected), line time " +
        formatNumber(pacedBytes * 10.0 * 1000.0 / static_cast<double>(options.baud), 1) + " ms";
    return {
        {"",
         {{"", "runs", once(options.runs)},
          {"", "pages", once(options.pages)},
          {"", "realtime", once(c.realtime)},
          {"", "load_before", once(c.loadBefore), 2}}},
        {"Updates of " + pages + ", timed by the device: first header byte in, to completion out",
         {{"raw responder, no Qt (ms)", "raw_ms_median", ms(c.raw), 3},
          {"bare responder (ms)", "bare_ms_median", ms(c.bare), 3},
          {"engine (ms)", "engine_ms_median", ms(c.engine), 3},
          {"window (ms)", "window_ms_median", ms(c.window), 3},
          {"engine / bare", "engine_over_bare", over(c.engine, c.bare), 3, kEngineOverBareTarget},
          {"window / bare", "window_over_bare", over(c.window, c.bare), 3, kWindowOverBareTarget}}},
        {"Page round trips at the device (us): request out, to the frame's last byte in",
         {{"raw, median", "", median(c.raw)},
          {"raw, p99", "raw_rtt_p99_us", p99(c.raw)},
          {"raw, max", "", max(c.raw)},
          {"bare, median", "bare_rtt_median_us", median(c.bare)},
          {"bare, p99", "bare_rtt_p99_us", p99(c.bare)},
          {"bare, max", "", max(c.bare)},
          {"engine, median", "rtt_median_us", median(c.engine)},
          {"engine, p99", "rtt_p99_us", p99(c.engine), 0, kRttP99TargetUs},
          {"engine, max", "rtt_max_us", max(c.engine), 0, std::nullopt, true},
          {"window, median", "", median(c.window)},
          {"window, p99", "window_rtt_p99_us", p99(c.window)},
          {"window, max", "", max(c.window)}}},
        {pacedHeading,
         {{"", "paced_pages", once(options.pacedPages)},
          {"", "paced_baud", once(static_cast<double>(options.baud))},
          {"bare, time / line time", "paced_bare_ratio", paced(c.barePaced), 4, kPacedTarget},
          {"engine, time / line time", "paced_ratio", paced(c.enginePaced), 4, kPacedTarget},
          {"engine, at the device (ms)", "", ms(c.enginePaced), 1},
          {"engine / bare", "paced_over_bare", over(c.enginePaced, c.barePaced), 4}}},
        {"Idle over the same " + formatNumber(options.idle.count() / 1000.0, 1) +
             " s, offscreen, each its own process (% of one core)",
         {{"oxu-updater", "idle_cpu_pct", cpu(kWindowIdle), 3, kIdleTargetPercent},
          {"oxu-updater, from clock ticks", "idle_cpu_pct_ticks", once(window.cpuPercentTicks), 3},
          {"oxu-updater, QT_NO_GLIB=1", "idle_cpu_pct_no_glib", cpu(kWindowNoGlib), 3},
          {"oxu-station, " + std::to_string(kStationIdlePorts) + " quiet ports",
           "station_idle_cpu_pct", cpu(kStationIdle), 3, kIdleTargetPercent},
          {"oxu-station, from clock ticks", "", once(c.idle[kStationIdle].cpuPercentTicks), 3},
          {"bare Qt program, no timer", "qt_idle_cpu_pct", cpu(kQtFloor), 3, kIdleTargetPercent},
          {"bare Qt 10 ms timer", "timer_probe_cpu_pct", cpu(kTimerProbe), 3},
          {"bare Qt 10 ms timer, QT_NO_GLIB=1", "", cpu(kTimerProbeNoGlib), 3}}},
        {"The window programs, memory: oxu-updater through one update of " + pages +
             ", and idle; oxu-station idle",
         {{"update at the device (ms)", "", once(c.processUpdate.timeMs), 3},
          {"peak RSS after the update (kB)", "window_peak_rss_kb", kb(c.processUpdate.peakRssKb)},
          {"peak RSS idle (kB)", "window_idle_rss_kb", kb(window.peakRssKb)},
          {"oxu-station peak RSS idle (kB)", "station_idle_rss_kb",
           kb(c.idle[kStationIdle].peakRssKb)},
          {"bare Qt program peak RSS (kB)", "", kb(c.idle[kQtFloor].peakRssKb)}}},
        {n + " devices at once through one oxu-update, each on its own paced line at " +
             std::to_string(options.baud) + " baud, " + std::to_string(options.pacedPages) +
             " pages each; one device alone the same way",
         {{"", "gang_devices", once(options.gangDevices)},
          {"one device, time on its line (ms)", "", gangMs(c.onePaced, &GangRun::lineSpanMs), 1},
          {n + " devices, first byte in to last out (ms)", "",
           gangMs(c.gangPaced, &GangRun::lineSpanMs), 1},
          {n + " devices / one device", "gang_paced_ratio",
           gangOver(c.gangPaced, c.onePaced, 1, &GangRun::lineSpanMs), 4, kGangPacedTarget},
          {"one device, time / line time", "", slowestLine(c.onePaced), 4},
          {n + " devices, slowest line, time / line time", "", slowestLine(c.gangPaced), 4},
          {"floor, raw responders: " + n + " devices / one device", "gang_floor_paced_ratio",
           gangOver(c.floorGangPaced, c.floorOnePaced, 1, &GangRun::lineSpanMs), 4},
          {"floor, raw: slowest of " + n + " lines, time / line time", "",
           slowestLine(c.floorGangPaced), 4},
          {n + " devices, oxu-update / raw floor", "gang_paced_over_floor",
           gangOver(c.gangPaced, c.floorGangPaced, 1, &GangRun::lineSpanMs), 4},
          {"oxu-update CPU, one device (ms)", "", cpuPerDevice(c.onePaced), 1},
          {"oxu-update CPU per device, " + n + " at once (ms)", "gang_cpu_ms_per_device",
           cpuPerDevice(c.gangPaced), 1},
          {n + " paced lines' CPU (% of one core)", "",
           shareOfSpan(c.gangPaced, &GangRun::lineCpuMs), 1},
          {n + " simulated devices' CPU (% of one core)", "",
           shareOfSpan(c.gangPaced, &GangRun::simulatorCpuMs), 1}}},
        {"The same " + n +
             " paced devices through one station window (oxu-station, offscreen, "
             "Start pressed once) in the same rounds",
         {{n + " devices, first byte in to last out (ms)", "",
           gangMs(c.stationGangPaced, &GangRun::lineSpanMs), 1},
          {"oxu-station / oxu-update, " + n + " devices", "station_over_update",
           gangOver(c.stationGangPaced, c.gangPaced, 1, &GangRun::lineSpanMs), 4,
           kStationOverUpdateTarget},
          {n + " devices, slowest line, time / line time", "", slowestLine(c.stationGangPaced), 4},
          {"oxu-station CPU per device, " + n + " at once (ms)", "station_cpu_ms_per_device",
           cpuPerDevice(c.stationGangPaced), 1}}},
        {n + " devices at once through one oxu-update, unpaced, " + pages +
             " each; time as the program reports it (to the ms)",
         {{"one device (ms)", "", gangMs(c.oneUnpaced, &GangRun::programMs), 1},
          {n + " devices (ms)", "", gangMs(c.gangUnpaced, &GangRun::programMs), 1},
          {n + " devices / (" + n + " x one device)", "gang_unpaced_over_serial",
           gangOver(c.gangUnpaced, c.oneUnpaced, options.gangDevices, &GangRun::programMs), 3},
          {"oxu-update CPU, one device (ms)", "", cpuPerDevice(c.oneUnpaced), 1},
          {"oxu-update CPU per device, " + n + " at once (ms)", "", cpuPerDevice(c.gangUnpaced), 1},
          {"page round trip p99, one device (us)", "", worstRtt(c.oneUnpaced)},
          {"page round trip p99, worst of " + n + " (us)", "gang_rtt_p99_us",
           worstRtt(c.gangUnpaced)}}},
        {"Failures (each is named on standard error)",
         {{"measurements that failed", "failures", once(c.failures())}}},
    };
}

void print(const BenchOptions& options, const Collected& c,
           const std::vector<MetricSection>& sections) {
    std::printf(
        "\nOXU Updater benchmark: %d runs each, interleaved raw/bare/engine/window, %d pages "
        "(%d bytes)%s\n",
        options.runs, options.pages, options.pages * static_cast<int>(oxu::PageSize),
        options.warmUp ? ", after one untimed warm-up each" : "");
    std::printf("scheduling: %s; load average %s before, %s after (%ld cores)\n\n",
                c.scheduling.c_str(), formatNumber(c.loadBefore, 2).c_str(),
                formatNumber(c.loadAfter, 2).c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
    std::fputs(renderTable(sections).c_str(), stdout);
    std::printf("\n%s\n", renderLine(sections).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions defaults;
    defaults.simulator = OXU_BENCH_SIMULATOR;
    defaults.updater = OXU_BENCH_UPDATER;
    defaults.scriptedUpdater = OXU_BENCH_SCRIPTED;
    defaults.cliUpdater = OXU_BENCH_CLI;
    defaults.station = OXU_BENCH_STATION;
    defaults.scriptedStation = OXU_BENCH_SCRIPTED_STATION;
    BenchOptions options;
    try {
        options = parseBenchOptions(std::vector<std::string>(argv + 1, argv + argc), defaults);
    } catch (const UsageError& error) {
        std::cerr << "oxu-bench: " << error.what() << '\n';
        return kExitUsage;
    }
    if (options.help) {
        std::cout << benchUsage();
        return kExitOk;
    }
    if (options.probe != Probe::None)
        return runProbe(argc, argv, options.probe == Probe::Timer);
    // Every window here is drawn off screen, with or without a display.
    OffscreenArguments qtArguments(argc, argv);
    QApplication application(qtArguments.count(), qtArguments.values());
    try {
        const Collected collected = collect(options);
        print(options, collected, summarise(options, collected));
        return collected.failures() == 0 ? kExitOk : kExitFailed;
    } catch (const std::exception& error) {
        std::cerr << "oxu-bench: " << error.what() << '\n';
        return kExitFailed;
    }
}
