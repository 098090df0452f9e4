#include "bench/update_runs.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "protocol/frames.h"

namespace oxu::bench {
namespace {

namespace fs = std::filesystem;

// Two full pages and a short third one, so the last frame's length counts.
constexpr std::size_t kImageSize = 2 * PageSize + 100;

class UpdateRunsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "oxu-bench-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
        m_image = (m_directory / "image.bin").string();
        std::ofstream file(m_image, std::ios::binary);
        for (std::size_t i = 0; i < kImageSize; ++i)
            file.put(static_cast<char>((i * 7 + 0x0A) & 0xFF));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
    }

    DeviceSetup setup() const {
        DeviceSetup device;
        device.simulator = OXU_BENCH_SIMULATOR;
        device.imageSize = kImageSize;
        device.timeout = std::chrono::seconds(10);
        return device;
    }

    fs::path m_directory;
    std::string m_image;
};

struct ResponderCase {
    const char* name;
    std::function<std::unique_ptr<Responder>()> make;
};

const ResponderCase kResponders[] = {
    {"raw", makeRawResponder},
    {"bare", makeBareResponder},
    {"engine", makeEngineResponder},
    {"window", makeWindowResponder},
};

TEST_F(UpdateRunsTest, EveryResponderServesAnUpdateTheDeviceChecks) {
    for (const ResponderCase& c : kResponders) {
        SCOPED_TRACE(c.name);
        const auto responder = c.make();
        // Twice: a responder is reused across the runs of a benchmark.
        for (int round = 0; round < 2; ++round) {
            const UpdateRun run = runUpdate(*responder, setup(), m_image);
            EXPECT_TRUE(run.ok) << run.failure;
            EXPECT_TRUE(run.failure.empty());
            EXPECT_GT(run.timeMs, 0);
            EXPECT_TRUE(run.rttMedianUs && run.rttP99Us && run.rttMaxUs);
            EXPECT_FALSE(run.line);
        }
    }
}

TEST_F(UpdateRunsTest, APacedUpdateCarriesExactlyTheUpdatesBytes) {
    DeviceSetup paced = setup();
    paced.baud = 115200;
    for (const auto& make : {makeBareResponder, makeEngineResponder}) {
        const auto responder = make();
        const UpdateRun run = runUpdate(*responder, paced, m_image);
        ASSERT_TRUE(run.ok) << run.failure;
        ASSERT_TRUE(run.line);
        // Header, three frames with their checksums; three requests and the completion byte.
        EXPECT_EQ(run.line->bytesToDevice, kHeaderFrameSize + kImageSize + 3 * 2);
        EXPECT_EQ(run.line->bytesToProgram, 3 * kPageRequestSize + 1);
        EXPECT_GE(run.line->ratio, 1.0);
    }
}

TEST_F(UpdateRunsTest, ADeviceThatRefusesTheUpdateFailsTheRunWithItsReason) {
    DeviceSetup wrongSize = setup();
    wrongSize.imageSize = 10 * PageSize;
    for (const ResponderCase& c : kResponders) {
        SCOPED_TRACE(c.name);
        const auto responder = c.make();
        const UpdateRun run = runUpdate(*responder, wrongSize, m_image);
        EXPECT_FALSE(run.ok);
        EXPECT_NE(run.failure.find("announces 3 pages"), std::string::npos) << run.failure;
    }
}

TEST_F(UpdateRunsTest, AMissingSimulatorOrImageFailsTheRunNamingIt) {
    const auto engine = makeEngineResponder();
    DeviceSetup missing = setup();
    missing.simulator = "/nonexistent/oxu-device-sim";
    const UpdateRun noSimulator = runUpdate(*engine, missing, m_image);
    EXPECT_FALSE(noSimulator.ok);
    EXPECT_NE(noSimulator.failure.find(missing.simulator), std::string::npos)
        << noSimulator.failure;

    const std::string noFile = (m_directory / "missing.bin").string();
    const UpdateRun noImage = runUpdate(*engine, setup(), noFile);
    EXPECT_FALSE(noImage.ok);
    EXPECT_NE(noImage.failure.find(noFile), std::string::npos) << noImage.failure;
}

TEST(ReadVerdict, TakesTimeAndRoundTripsOfAGoodUpdate) {
    UpdateRun run;
    EXPECT_TRUE(
        readVerdict("/dev/pts/4\n"
                    "verdict: ok pages=255 announced=255 bytes=65280 time_ms=15.250 "
                    "completion=sent port_closed=yes seed=1\n"
                    "stats: rtt_count=255 rtt_min_us=40 rtt_median_us=58 rtt_p99_us=310 "
                    "rtt_max_us=900\n",
                    run));
    EXPECT_TRUE(run.ok);
    EXPECT_TRUE(run.failure.empty());
    EXPECT_DOUBLE_EQ(run.timeMs, 15.25);
    EXPECT_EQ(run.rttMedianUs, 58);
    EXPECT_EQ(run.rttP99Us, 310);
    EXPECT_EQ(run.rttMaxUs, 900);
}

TEST(ReadVerdict, ReportsTheDevicesReasonOrAMissingVerdict) {
    UpdateRun failed;
    EXPECT_FALSE(
        readVerdict("verdict: fail pages=2 time_ms=3 reason=\"page 3: checksum 01 f0 "
                    "received, 01 ef computed\"\n",
                    failed));
    EXPECT_FALSE(failed.ok);
    EXPECT_NE(failed.failure.find("page 3: checksum 01 f0 received"), std::string::npos);
    EXPECT_FALSE(failed.rttP99Us);

    UpdateRun silent;
    EXPECT_FALSE(readVerdict("/dev/pts/4\n", silent));
    EXPECT_NE(silent.failure.find("no verdict"), std::string::npos);
}

TEST(SimulatorFlags, AskForExactFramesAndStatsAndLeaveThePacingToTheLine) {
    DeviceSetup setup;
    setup.imageSize = 65280;
    const auto unpaced = simulatorFlags(setup);
    const auto has = [](const std::vector<std::string>& flags, const std::string& flag) {
        return std::find(flags.begin(), flags.end(), flag) != flags.end();
    };
    EXPECT_TRUE(has(unpaced, "--image-size") && has(unpaced, "65280"));
    EXPECT_TRUE(has(unpaced, "--stats"));
    EXPECT_TRUE(has(unpaced, "--wait") && has(unpaced, "--timeout"));
    EXPECT_FALSE(has(unpaced, "--baud"));
    setup.baud = 38400;
    const auto paced = simulatorFlags(setup);
    EXPECT_FALSE(has(paced, "--baud"));
}

}  // namespace
}  // namespace oxu::bench
