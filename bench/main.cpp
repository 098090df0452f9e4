// oxu-bench: how fast the update engine and the window serve an update,
// compared with the least code that could, on the same machine in one run.

#include <sched.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>

#include "bench/bench_options.h"
#include "bench/measure.h"
#include "bench/update_runs.h"
#include "bench/window_process.h"
#include "protocol/frames.h"

namespace {

using namespace oxu::bench;
namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The targets the figures are held against.
constexpr double kEngineOverBareTarget = 1.5;
constexpr double kWindowOverBareTarget = 2.0;
constexpr double kRttP99TargetUs = 1000;
constexpr double kPacedTarget = 1.005;
constexpr double kIdleTargetPercent = 0.3;

// Above ordinary work, far below the kernel's own real-time threads.
constexpr int kRealtimePriority = 10;

// A directory of its own for the images, removed at exit.
class ScratchDirectory {
public:
    ScratchDirectory() {
        std::string pattern = (fs::temp_directory_path() / "oxu-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("Cannot create a scratch directory under " +
                                     fs::temp_directory_path().string());
        m_path = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// An image of pages x 256 bytes of every value (0x0A, 0x11, 0xAA, 0x55
// included), the same in every run.
std::string writeImage(const fs::path& directory, int pages) {
    const fs::path path = directory / ("image-" + std::to_string(pages) + ".bin");
    std::mt19937 random(20240601u + static_cast<unsigned>(pages));
    std::string bytes(static_cast<std::size_t>(pages) * oxu::PageSize, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random() & 0xFF);
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file)
        throw std::runtime_error("Cannot write the test image " + path.string());
    return path.string();
}

// The timed updates of one responder, and what they measured.
struct Series {
    explicit Series(std::string seriesName) : name(std::move(seriesName)) {}

    std::string name;
    std::vector<double> timesMs;
    std::vector<double> rttMedianUs;
    std::vector<double> rttP99Us;
    std::vector<double> rttMaxUs;
    std::vector<double> lineRatios;
    std::uint64_t lineBytes = 0;  // carried both ways in the last paced update
    int failures = 0;

    void add(const UpdateRun& run) {
        if (!run.ok) {
            ++failures;
            std::cerr << "\noxu-bench: " << name << " update failed: " << run.failure << '\n';
            return;
        }
        timesMs.push_back(run.timeMs);
        if (run.rttMedianUs)
            rttMedianUs.push_back(*run.rttMedianUs);
        if (run.rttP99Us)
            rttP99Us.push_back(*run.rttP99Us);
        if (run.rttMaxUs)
            rttMaxUs.push_back(*run.rttMaxUs);
        if (run.line) {
            lineRatios.push_back(run.line->ratio);
            lineBytes = run.line->bytesToDevice + run.line->bytesToProgram;
        }
    }
};

std::optional<double> medianOf(const std::vector<double>& samples) {
    if (samples.empty())
        return std::nullopt;
    return summarize(samples).median;
}

std::optional<double> maxOf(const std::vector<double>& samples) {
    if (samples.empty())
        return std::nullopt;
    return summarize(samples).max;
}

void printRow(const std::string& name, const std::vector<double>& samples, int decimals) {
    const Summary s = summarize(samples);
    const auto cell = [&](double value) {
        return s.count == 0 ? std::string("-") : formatNumber(value, decimals);
    };
    std::printf("  %-36s %9s %9s %9s %9s %9s %4zu\n", name.c_str(), cell(s.median).c_str(),
                cell(s.p10).c_str(), cell(s.p90).c_str(), cell(s.min).c_str(), cell(s.max).c_str(),
                s.count);
}

void printTarget(const std::string& name, std::optional<double> value, double target,
                 int decimals) {
    const char* verdict = !value ? "not measured" : *value <= target ? "met" : "MISSED";
    std::printf("  %-36s %9s   <= %-9s %s\n", name.c_str(), formatNumber(value, decimals).c_str(),
                formatNumber(target, decimals).c_str(), verdict);
}

std::optional<double> asDouble(std::optional<long long> value) {
    if (!value)
        return std::nullopt;
    return static_cast<double>(*value);
}

std::string ownPath() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string("oxu-bench") : self.string();
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

int runBenchmark(const BenchOptions& options) {
    const auto loadBefore = loadAverage();
    const std::string scheduling = options.realtime ? raisePriority() : "normal";
    ScratchDirectory scratch;
    const std::string image = writeImage(scratch.path(), options.pages);
    const std::string pacedImage = writeImage(scratch.path(), options.pacedPages);

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

    Series rawRuns{"raw"};
    Series bareRuns{"bare"};
    Series engineRuns{"engine"};
    Series windowRuns{"window"};
    Series barePaced{"bare paced"};
    Series enginePaced{"engine paced"};

    std::fprintf(stderr, "oxu-bench: %d interleaved runs of %d pages", options.runs, options.pages);
    if (options.warmUp) {
        std::fprintf(stderr, " after a warm-up");
        for (Responder* responder : {raw.get(), bare.get(), engine.get(), window.get()}) {
            const UpdateRun run = runUpdate(*responder, unpaced, image);
            if (!run.ok)
                std::cerr << "\noxu-bench: warm-up update failed: " << run.failure << '\n';
        }
    }
    // Interleaved, so that whatever else the machine does hits all three alike.
    for (int i = 0; i < options.runs; ++i) {
        rawRuns.add(runUpdate(*raw, unpaced, image));
        bareRuns.add(runUpdate(*bare, unpaced, image));
        engineRuns.add(runUpdate(*engine, unpaced, image));
        windowRuns.add(runUpdate(*window, unpaced, image));
        std::fputc('.', stderr);
    }
    std::fprintf(stderr, "\noxu-bench: %d paced runs of %d pages at %ld baud", options.pacedRuns,
                 options.pacedPages, options.baud);
    for (int i = 0; i < options.pacedRuns; ++i) {
        barePaced.add(runUpdate(*bare, paced, pacedImage));
        enginePaced.add(runUpdate(*engine, paced, pacedImage));
        std::fputc('.', stderr);
    }
    std::fprintf(stderr, "\noxu-bench: the window program: one update, then %lld ms idle\n",
                 static_cast<long long>(options.idle.count()));
    const ProcessUpdate processUpdate =
        measureProcessUpdate(options.scriptedUpdater, options.simulator, image, unpaced.imageSize);
    if (!processUpdate.failure.empty())
        std::cerr << "oxu-bench: window program update failed: " << processUpdate.failure << '\n';
    const std::string self = ownPath();
    const std::vector<IdleSubject> subjects = {
        {"oxu-updater", options.updater, {}, {}},
        {"oxu-updater, QT_NO_GLIB=1", options.updater, {}, {{"QT_NO_GLIB", "1"}}},
        {"bare Qt 10 ms timer", self, {kTimerProbeOption}, {}},
        {"bare Qt 10 ms timer, QT_NO_GLIB=1", self, {kTimerProbeOption}, {{"QT_NO_GLIB", "1"}}},
    };
    const std::vector<IdleCost> idleCosts =
        measureIdleCosts(subjects, options.idleSettle, options.idle);
    for (const IdleCost& cost : idleCosts) {
        if (!cost.failure.empty())
            std::cerr << "oxu-bench: idle measurement of " << cost.name
                      << " failed: " << cost.failure << '\n';
    }
    const IdleCost& idle = idleCosts.front();

    const Summary bareSummary = summarize(bareRuns.timesMs);
    const Summary engineSummary = summarize(engineRuns.timesMs);
    const Summary windowSummary = summarize(windowRuns.timesMs);
    const auto engineOverBare = ratioOfMedians(engineSummary, bareSummary);
    const auto windowOverBare = ratioOfMedians(windowSummary, bareSummary);
    const auto pacedRatio = medianOf(enginePaced.lineRatios);
    const auto pacedBareRatio = medianOf(barePaced.lineRatios);
    const auto rttP99 = medianOf(engineRuns.rttP99Us);
    const double pacedLineMs =
        static_cast<double>(oxu::kHeaderFrameSize +
                            options.pacedPages * (oxu::kPageRequestSize + oxu::PageSize + 2) + 1) *
        10.0 * 1000.0 / static_cast<double>(options.baud);

    std::printf(
        "\nOXU Updater benchmark: %d runs each, interleaved raw/bare/engine/window, %d pages "
        "(%d bytes)%s\n",
        options.runs, options.pages, options.pages * 256,
        options.warmUp ? ", after one untimed warm-up each" : "");
    std::printf("  scheduling: %s; load average %s before, %s after (%ld cores)\n",
                scheduling.c_str(), formatNumber(loadBefore, 2).c_str(),
                formatNumber(loadAverage(), 2).c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("  times are the device's own: first header byte in, to completion byte out\n");
    std::printf("  %-36s %9s %9s %9s %9s %9s %4s\n", "measurement", "median", "p10", "p90", "min",
                "max", "n");
    printRow("raw responder update, no Qt (ms)", rawRuns.timesMs, 3);
    printRow("bare responder update (ms)", bareRuns.timesMs, 3);
    printRow("engine update (ms)", engineRuns.timesMs, 3);
    printRow("window update (ms)", windowRuns.timesMs, 3);
    printRow("raw page round trip, median (us)", rawRuns.rttMedianUs, 0);
    printRow("raw page round trip, p99 (us)", rawRuns.rttP99Us, 0);
    printRow("raw page round trip, max (us)", rawRuns.rttMaxUs, 0);
    printRow("bare page round trip, median (us)", bareRuns.rttMedianUs, 0);
    printRow("bare page round trip, p99 (us)", bareRuns.rttP99Us, 0);
    printRow("bare page round trip, max (us)", bareRuns.rttMaxUs, 0);
    printRow("engine page round trip, median (us)", engineRuns.rttMedianUs, 0);
    printRow("engine page round trip, p99 (us)", engineRuns.rttP99Us, 0);
    printRow("engine page round trip, max (us)", engineRuns.rttMaxUs, 0);
    printRow("window page round trip, median (us)", windowRuns.rttMedianUs, 0);
    printRow("window page round trip, p99 (us)", windowRuns.rttP99Us, 0);
    printRow("window page round trip, max (us)", windowRuns.rttMaxUs, 0);
    std::printf(
        "\nPaced line at %ld baud, %d pages: %llu bytes carried both ways (%.0f expected), "
        "line time %.1f ms; time / line time\n",
        options.baud, options.pacedPages, static_cast<unsigned long long>(enginePaced.lineBytes),
        pacedLineMs * static_cast<double>(options.baud) / 10000.0, pacedLineMs);
    printRow("bare responder, paced", barePaced.lineRatios, 4);
    printRow("engine, paced", enginePaced.lineRatios, 4);
    printRow("engine paced update at device (ms)", enginePaced.timesMs, 1);
    std::printf("\nWindow program (oxu-updater, offscreen, its own process)\n");
    std::printf("  idle over the same %.1f s, %% of one core:   run time     ticks   peak RSS kB\n",
                static_cast<double>(options.idle.count()) / 1000.0);
    for (const IdleCost& cost : idleCosts) {
        std::printf("    %-40s %9s %9s %9s\n", cost.name.c_str(),
                    formatNumber(cost.cpuPercent, 3).c_str(),
                    formatNumber(cost.cpuPercentTicks, 3).c_str(),
                    formatNumber(asDouble(cost.peakRssKb), 0).c_str());
    }
    std::printf("  %-36s %9s\n", "peak RSS after an update (kB)",
                formatNumber(asDouble(processUpdate.peakRssKb), 0).c_str());
    std::printf("  %-36s %9s\n", "its update at device (ms)",
                formatNumber(processUpdate.timeMs, 3).c_str());

    std::printf("\nTargets\n");
    printTarget("engine / bare (median / median)", engineOverBare, kEngineOverBareTarget, 2);
    printTarget("window / bare (median / median)", windowOverBare, kWindowOverBareTarget, 2);
    printTarget("engine round trip p99 (us)", rttP99, kRttP99TargetUs, 0);
    printTarget("engine paced / line time", pacedRatio, kPacedTarget, 4);
    printTarget("  the same for the bare responder", pacedBareRatio, kPacedTarget, 4);
    printTarget("idle CPU (% of one core)", idle.cpuPercent, kIdleTargetPercent, 3);
    printTarget("  the same for a bare Qt 10 ms timer", idleCosts[2].cpuPercent, kIdleTargetPercent,
                3);

    const int failures =
        rawRuns.failures + bareRuns.failures + engineRuns.failures + windowRuns.failures +
        barePaced.failures + enginePaced.failures + (processUpdate.failure.empty() ? 0 : 1) +
        static_cast<int>(std::count_if(idleCosts.begin(), idleCosts.end(),
                                       [](const IdleCost& cost) { return !cost.failure.empty(); }));
    std::ostringstream line;
    line << "bench: runs=" << options.runs << " pages=" << options.pages
         << " realtime=" << (scheduling.rfind("SCHED_FIFO", 0) == 0 ? 1 : 0)
         << " load_before=" << formatNumber(loadBefore, 2)
         << " engine_ms_median=" << formatNumber(medianOf(engineRuns.timesMs), 3)
         << " bare_ms_median=" << formatNumber(medianOf(bareRuns.timesMs), 3)
         << " window_ms_median=" << formatNumber(medianOf(windowRuns.timesMs), 3)
         << " engine_over_bare=" << formatNumber(engineOverBare, 3)
         << " window_over_bare=" << formatNumber(windowOverBare, 3)
         << " rtt_median_us=" << formatNumber(medianOf(engineRuns.rttMedianUs), 0)
         << " rtt_p99_us=" << formatNumber(rttP99, 0)
         << " rtt_max_us=" << formatNumber(maxOf(engineRuns.rttMaxUs), 0)
         << " bare_rtt_median_us=" << formatNumber(medianOf(bareRuns.rttMedianUs), 0)
         << " raw_ms_median=" << formatNumber(medianOf(rawRuns.timesMs), 3)
         << " raw_rtt_p99_us=" << formatNumber(medianOf(rawRuns.rttP99Us), 0)
         << " bare_rtt_p99_us=" << formatNumber(medianOf(bareRuns.rttP99Us), 0)
         << " window_rtt_p99_us=" << formatNumber(medianOf(windowRuns.rttP99Us), 0)
         << " paced_pages=" << options.pacedPages << " paced_baud=" << options.baud
         << " paced_ratio=" << formatNumber(pacedRatio, 4)
         << " paced_bare_ratio=" << formatNumber(pacedBareRatio, 4) << " paced_over_bare="
         << formatNumber(
                ratioOfMedians(summarize(enginePaced.timesMs), summarize(barePaced.timesMs)), 4)
         << " idle_cpu_pct=" << formatNumber(idle.cpuPercent, 3)
         << " idle_cpu_pct_ticks=" << formatNumber(idle.cpuPercentTicks, 3)
         << " idle_cpu_pct_no_glib=" << formatNumber(idleCosts[1].cpuPercent, 3)
         << " timer_probe_cpu_pct=" << formatNumber(idleCosts[2].cpuPercent, 3)
         << " window_peak_rss_kb=" << formatNumber(asDouble(processUpdate.peakRssKb), 0)
         << " window_idle_rss_kb=" << formatNumber(asDouble(idle.peakRssKb), 0)
         << " failures=" << failures;
    std::printf("\n%s\n", line.str().c_str());
    std::fflush(stdout);
    return failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions defaults;
    defaults.simulator = OXU_BENCH_SIMULATOR;
    defaults.updater = OXU_BENCH_UPDATER;
    defaults.scriptedUpdater = OXU_BENCH_SCRIPTED;
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
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    try {
        return runBenchmark(options);
    } catch (const std::exception& error) {
        std::cerr << "oxu-bench: " << error.what() << '\n';
        return kExitFailed;
    }
}
