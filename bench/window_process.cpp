#include "bench/window_process.h"

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <thread>

#include "bench/measure.h"
#include "bench/update_runs.h"
#include "kit/child_process.h"
#include "serial/port_mapping.h"

namespace oxu::bench {
namespace {

using kit::ChildProcess;
using kit::Environment;
using kit::ProgramResult;
using std::chrono::milliseconds;
using Stream = ChildProcess::Stream;

constexpr milliseconds kUpdateWait{30000};
constexpr milliseconds kEndWait{5000};
Environment offscreenEnvironment() {
    return {{"QT_QPA_PLATFORM", "offscreen"}};
}

std::optional<long long> peakRssOf(int pid) {
    const auto status = readTextFile("/proc/" + std::to_string(pid) + "/status");
    return status ? statusFieldKb(*status, "VmHWM") : std::nullopt;
}

// Whether the program had not ended by itself: it is there and no zombie.
bool isRunning(int pid) {
    const auto stat = readTextFile("/proc/" + std::to_string(pid) + "/stat");
    const std::optional<char> state = stat ? processStateFromStat(*stat) : std::nullopt;
    return state && stillRunning(*state);
}

// Ends a program that is still running; a SIGTERM is its normal end here.
ProgramResult endProgram(ChildProcess& program) {
    program.sendSignal(SIGTERM);
    return program.finish(kEndWait);
}

}  // namespace

QuietPorts::QuietPorts(int count) {
    try {
        for (int i = 0; i < count; ++i)
            m_ends.push_back(kit::openRawPty());
    } catch (...) {
        close();
        throw;
    }
}

QuietPorts::~QuietPorts() {
    close();
}

void QuietPorts::close() {
    for (const kit::PtyEnds& ends : m_ends) {
        ::close(ends.slave);
        ::close(ends.master);
    }
    m_ends.clear();
}

std::vector<std::string> QuietPorts::deviceArguments() const {
    std::vector<std::string> args;
    for (const kit::PtyEnds& ends : m_ends)
        args.insert(args.end(), {"--device", ends.slavePath});
    return args;
}

CpuSample sampleCpu(int pid) {
    CpuSample sample;
    const std::string base = "/proc/" + std::to_string(pid);
    if (const auto stat = readTextFile(base + "/stat"))
        sample.ticks = cpuTicksFromStat(*stat);
    std::error_code error;
    long long total = 0;
    bool any = false;
    for (const auto& task : std::filesystem::directory_iterator(base + "/task", error)) {
        const auto text = readTextFile(task.path().string() + "/schedstat");
        const auto nanos = text ? cpuNanosFromSchedstat(*text) : std::nullopt;
        if (nanos) {
            total += *nanos;
            any = true;
        }
    }
    if (any && !error)
        sample.nanos = total;
    return sample;
}

std::vector<IdleCost> measureIdleCosts(const std::vector<IdleSubject>& subjects,
                                       milliseconds settle, milliseconds idle) {
    std::vector<IdleCost> costs;
    std::vector<std::unique_ptr<ChildProcess>> programs;
    for (const IdleSubject& subject : subjects) {
        costs.emplace_back();
        costs.back().name = subject.name;
        Environment environment = offscreenEnvironment();
        environment.insert(environment.end(), subject.environment.begin(),
                           subject.environment.end());
        try {
            programs.push_back(
                std::make_unique<ChildProcess>(subject.program, subject.args, environment));
        } catch (const std::exception& error) {
            costs.back().failure = error.what();
            programs.push_back(nullptr);
        }
    }
    std::this_thread::sleep_for(settle);
    std::vector<CpuSample> before;
    for (const auto& program : programs)
        before.push_back(program ? sampleCpu(program->pid()) : CpuSample{});
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(idle);
    const auto wall = std::chrono::steady_clock::now() - start;
    // No window, no rate: an idle of zero measures nothing.
    const bool measured = idle.count() > 0;
    const double wallNs =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count());
    const double tickNs = 1e9 / static_cast<double>(::sysconf(_SC_CLK_TCK));

    for (std::size_t i = 0; i < programs.size(); ++i) {
        if (!programs[i])
            continue;
        IdleCost& cost = costs[i];
        const CpuSample after = sampleCpu(programs[i]->pid());
        cost.peakRssKb = peakRssOf(programs[i]->pid());
        if (measured && before[i].nanos && after.nanos)
            cost.cpuPercent = static_cast<double>(*after.nanos - *before[i].nanos) / wallNs * 100.0;
        if (measured && before[i].ticks && after.ticks)
            cost.cpuPercentTicks =
                static_cast<double>(*after.ticks - *before[i].ticks) * tickNs / wallNs * 100.0;
    }
    for (std::size_t i = 0; i < programs.size(); ++i) {
        if (!programs[i])
            continue;
        // A program that ended by itself before the SIGTERM was not idling.
        // One that was can end by the signal or, catching it to close its
        // ports cleanly, by exiting.
        const bool idling = isRunning(programs[i]->pid());
        const ProgramResult result = endProgram(*programs[i]);
        if (!idling) {
            // Its figures are those of a program that was not running.
            costs[i] = IdleCost{};
            costs[i].name = subjects[i].name;
            costs[i].failure =
                programs[i]->program() + " ended on its own while idle (" +
                (result.signal != 0 ? "signal " + std::to_string(result.signal)
                                    : "exit status " + std::to_string(result.exitCode)) +
                "): " + trimmed(result.err);
        }
    }
    return costs;
}

int runProbe(int argc, char** argv, bool withTimer) {
    QApplication application(argc, argv);
    QTimer timer;
    timer.setInterval(10);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [] {});
    if (withTimer)
        timer.start();
    return application.exec();
}

ProcessUpdate measureProcessUpdate(const std::string& scriptedUpdater, const std::string& simulator,
                                   const std::string& imagePath, std::size_t imageSize) {
    ProcessUpdate update;
    try {
        DeviceSetup setup;
        setup.imageSize = imageSize;
        ChildProcess device(simulator, simulatorFlags(setup));
        Environment environment = offscreenEnvironment();
        environment.emplace_back(portVariableName(1), awaitDevicePath(device));
        ChildProcess program(scriptedUpdater, {}, environment, ChildProcess::Input::Pipe);
        if (!program.writeInput("events\nfile " + imagePath + "\nclick Command2\n")) {
            update.failure = "cannot send the update commands to " + scriptedUpdater;
            return update;
        }
        // Every end of an update shows a box, after the event that ended it.
        const bool ended = program.waitForLine("box ", kUpdateWait).has_value();
        const bool completed = ended && program.waitForLine("event completed", milliseconds(0));
        update.peakRssKb = peakRssOf(program.pid());
        endProgram(program);
        if (!completed) {
            device.sendSignal(SIGTERM);
            update.failure = scriptedUpdater +
                             " did not report completion; it said: " + program.output(Stream::Out) +
                             program.output(Stream::Err);
        }
        UpdateRun run;
        readVerdict(device.finish(kUpdateWait).out, run);
        update.timeMs = run.timeMs;
        if (update.failure.empty() && !run.ok)
            update.failure = run.failure;
    } catch (const std::exception& error) {
        update.failure = error.what();
    }
    return update;
}

}  // namespace oxu::bench
