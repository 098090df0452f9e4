#include "bench/window_process.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "bench/bench_options.h"

namespace oxu::bench {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

TEST(SampleCpu, ReadsThisProcessInBothUnits) {
    const CpuSample before = sampleCpu(::getpid());
    ASSERT_TRUE(before.nanos);
    ASSERT_TRUE(before.ticks);
    volatile unsigned sink = 0;
    for (unsigned i = 0; i < 20'000'000; ++i)
        sink = sink + i;
    const CpuSample after = sampleCpu(::getpid());
    EXPECT_GT(*after.nanos, *before.nanos);
    EXPECT_GE(*after.ticks, *before.ticks);
}

TEST(SampleCpu, SaysNothingForAProcessThatIsNotThere) {
    const CpuSample none = sampleCpu(999'999'999);
    EXPECT_FALSE(none.nanos);
    EXPECT_FALSE(none.ticks);
}

TEST(MeasureIdleCosts, MeasuresIdlersAndRefusesProgramsThatEndOnTheirOwn) {
    const std::vector<IdleSubject> subjects = {
        {"sleeper", "/bin/sleep", {"30"}, {}},
        // Ends cleanly when told to, as a window that closes its ports does.
        {"catcher", "/bin/sh", {"-c", "trap 'exit 0' TERM; while :; do sleep 0.05; done"}, {}},
        {"quitter", "/bin/true", {}, {}},
        {"missing", "/nonexistent/oxu-updater", {}, {}},
    };
    const auto costs = measureIdleCosts(subjects, milliseconds(200), milliseconds(300));
    ASSERT_EQ(costs.size(), 4u);
    EXPECT_EQ(costs[0].name, "sleeper");
    for (std::size_t i : {0u, 1u}) {
        EXPECT_TRUE(costs[i].failure.empty()) << costs[i].name << ": " << costs[i].failure;
        ASSERT_TRUE(costs[i].cpuPercent);
        EXPECT_GE(*costs[i].cpuPercent, 0.0);
        EXPECT_GT(costs[i].peakRssKb.value_or(0), 0);
    }
    for (std::size_t i : {2u, 3u}) {
        EXPECT_NE(costs[i].failure.find("ended on its own"), std::string::npos) << costs[i].failure;
        EXPECT_FALSE(costs[i].cpuPercent);
        EXPECT_FALSE(costs[i].cpuPercentTicks);
    }
    EXPECT_NE(costs[3].failure.find("exit status 127"), std::string::npos) << costs[3].failure;
}

TEST(MeasureIdleCosts, TheStationWindowIdlesOnQuietPortsUntilEnded) {
    const QuietPorts ports(2);
    const std::vector<std::string> args = ports.deviceArguments();
    ASSERT_EQ(args.size(), 4u);
    for (std::size_t i = 1; i < args.size(); i += 2) {
        EXPECT_EQ(args[i - 1], "--device");
        EXPECT_TRUE(fs::exists(args[i])) << args[i];
    }
    const auto costs = measureIdleCosts({{"oxu-station", OXU_BENCH_STATION, args, {}}},
                                        milliseconds(300), milliseconds(300));
    ASSERT_EQ(costs.size(), 1u);
    EXPECT_TRUE(costs[0].failure.empty()) << costs[0].failure;
    EXPECT_TRUE(costs[0].cpuPercent);
    EXPECT_GT(costs[0].peakRssKb.value_or(0), 0);
}

TEST(MeasureIdleCosts, TheProbeModesOfTheBenchmarkIdleUntilEnded) {
    const std::vector<IdleSubject> probes = {
        {"no timer", OXU_BENCH_PROGRAM, {kIdleProbeOption}, {}},
        {"10 ms timer", OXU_BENCH_PROGRAM, {kTimerProbeOption}, {}},
    };
    for (const IdleCost& cost : measureIdleCosts(probes, milliseconds(300), milliseconds(300))) {
        EXPECT_TRUE(cost.failure.empty()) << cost.name << ": " << cost.failure;
        EXPECT_TRUE(cost.cpuPercent) << cost.name;
    }
}

TEST(MeasureProcessUpdate, TheWindowProgramUpdatesAndReportsItsPeakMemory) {
    std::string pattern = (fs::temp_directory_path() / "oxu-bench-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path directory = pattern;
    const std::string image = (directory / "image.bin").string();
    {
        std::ofstream file(image, std::ios::binary);
        for (int i = 0; i < 600; ++i)
            file.put(static_cast<char>(i & 0xFF));
    }
    const ProcessUpdate update =
        measureProcessUpdate(OXU_BENCH_SCRIPTED, OXU_BENCH_SIMULATOR, image, 600);
    EXPECT_TRUE(update.failure.empty()) << update.failure;
    EXPECT_GT(update.peakRssKb.value_or(0), 0);
    EXPECT_GT(update.timeMs.value_or(0), 0);

    // The device expects another size: the failure says what the device saw.
    const ProcessUpdate refused =
        measureProcessUpdate(OXU_BENCH_SCRIPTED, OXU_BENCH_SIMULATOR, image, 6000);
    EXPECT_FALSE(refused.failure.empty());
    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

}  // namespace
}  // namespace oxu::bench
