#include "bench/window_process.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "bench/child_process.h"
#include "bench/measure.h"
#include "bench/update_runs.h"
#include "serial/port_mapping.h"

namespace oxu::bench {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kStartWait{10000};
constexpr milliseconds kUpdateWait{30000};
constexpr milliseconds kEndWait{5000};
constexpr const char* kTestControl = "OXU_UPDATER_TEST_CONTROL";

Environment offscreenEnvironment(bool scripted) {
    return {{"QT_QPA_PLATFORM", "offscreen"}, {kTestControl, scripted ? "1" : ""}};
}

std::optional<long long> peakRssOf(int pid) {
    const auto status = readTextFile("/proc/" + std::to_string(pid) + "/status");
    return status ? statusFieldKb(*status, "VmHWM") : std::nullopt;
}

// Ends a program that is still running; a SIGTERM is its normal end here.
ChildResult endProgram(ChildProcess& program) {
    program.sendSignal(SIGTERM);
    return program.finish(kEndWait);
}

}  // namespace

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

IdleCost measureIdleCost(const std::string& updater, milliseconds settle, milliseconds idle) {
    IdleCost cost;
    try {
        ChildProcess program(updater, {}, offscreenEnvironment(false));
        std::this_thread::sleep_for(settle);
        const CpuSample before = sampleCpu(program.pid());
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(idle);
        const CpuSample after = sampleCpu(program.pid());
        const double wallNs =
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count());
        cost.peakRssKb = peakRssOf(program.pid());
        if (before.nanos && after.nanos)
            cost.cpuPercent = static_cast<double>(*after.nanos - *before.nanos) / wallNs * 100.0;
        if (before.ticks && after.ticks) {
            const double tickNs = 1e9 / static_cast<double>(::sysconf(_SC_CLK_TCK));
            cost.cpuPercentTicks =
                static_cast<double>(*after.ticks - *before.ticks) * tickNs / wallNs * 100.0;
        }
        const ChildResult result = endProgram(program);
        if (!cost.cpuPercent && !cost.cpuPercentTicks) {
            cost.failure = updater + " could not be measured (it ended early?): " + result.err;
        }
    } catch (const std::exception& error) {
        cost.failure = error.what();
    }
    return cost;
}

ProcessUpdate measureProcessUpdate(const std::string& updater, const std::string& simulator,
                                   const std::string& imagePath, std::size_t imageSize) {
    ProcessUpdate update;
    try {
        DeviceSetup setup;
        setup.imageSize = imageSize;
        ChildProcess device(simulator, simulatorFlags(setup));
        const std::string devicePath = device.firstLine(kStartWait);
        if (devicePath.empty()) {
            update.failure = simulator + " printed no terminal path";
            return update;
        }
        Environment environment = offscreenEnvironment(true);
        environment.emplace_back(portVariableName(1), devicePath);
        ChildProcess program(updater, {}, environment, ChildProcess::Input::Pipe);
        if (!program.writeInput("file " + imagePath + "\nclick Command2\n")) {
            update.failure = "cannot send the update commands to " + updater;
            return update;
        }
        const bool completed = program.waitForOutput("Transfert Complete", kUpdateWait);
        update.peakRssKb = peakRssOf(program.pid());
        endProgram(program);
        if (!completed) {
            device.sendSignal(SIGTERM);
            update.failure =
                updater + " did not report completion; it said: " + program.out() + program.err();
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
