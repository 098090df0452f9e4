#include "bench/gang_runs.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "protocol/frames.h"

namespace oxu::bench {
namespace {

namespace fs = std::filesystem;

constexpr int kDevices = 2;
constexpr std::size_t kImageSize = 2 * PageSize;

class GangRunsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "oxu-bench-gang-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
        m_image = (m_directory / "image.bin").string();
        std::ofstream file(m_image, std::ios::binary);
        for (std::size_t i = 0; i < kImageSize; ++i)
            file.put(static_cast<char>((i * 13 + 0x55) & 0xFF));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_directory, ignored);
    }

    GangSetup setup(std::optional<long> baud) const {
        GangSetup gang;
        gang.updater = OXU_BENCH_CLI;
        gang.station = OXU_BENCH_SCRIPTED_STATION;
        gang.device.simulator = OXU_BENCH_SIMULATOR;
        gang.device.imageSize = kImageSize;
        gang.device.baud = baud;
        gang.device.timeout = std::chrono::seconds(20);
        gang.devices = kDevices;
        return gang;
    }

    fs::path m_directory;
    std::string m_image;
};

TEST_F(GangRunsTest, UpdatesEveryDeviceAtOnceAndTakesTheFiguresFromTheLiveProcesses) {
    // Unpaced, then each device behind its own paced line.
    for (const std::optional<long> baud : {std::optional<long>{}, std::optional<long>{115200}}) {
        SCOPED_TRACE(baud ? "paced" : "unpaced");
        const GangRun gang = runGang(setup(baud), m_image);
        ASSERT_TRUE(gang.ok) << gang.failure;
        ASSERT_EQ(gang.runs.size(), static_cast<std::size_t>(kDevices));
        for (const UpdateRun& device : gang.runs) {
            EXPECT_TRUE(device.ok) << device.failure;
            EXPECT_TRUE(device.rttP99Us.has_value());
            EXPECT_EQ(device.line.has_value(), baud.has_value());
        }
        // Every child really ran: the program and the devices used CPU, and
        // the program's own summary gave its duration.
        EXPECT_GT(gang.cpuMs.value_or(0), 0);
        EXPECT_GT(gang.simulatorCpuMs.value_or(0), 0);
        EXPECT_GT(gang.programMs.value_or(0), 0);
        EXPECT_EQ(gang.lineSpanMs.has_value(), baud.has_value());
        EXPECT_EQ(gang.lineCpuMs.has_value(), baud.has_value());
        if (baud) {
            for (const UpdateRun& device : gang.runs) {
                const std::uint64_t pacedBytes =
                    kHeaderFrameSize + 2 * (kPageRequestSize + PageSize + 2) + 1;
                EXPECT_EQ(device.line->bytesToDevice + device.line->bytesToProgram, pacedBytes);
                // The span holds every line's own update.
                EXPECT_GE(*gang.lineSpanMs, static_cast<double>(device.line->busy.count()) / 1e6);
            }
        }
    }
}

TEST_F(GangRunsTest, TheRawFloorServesTheSameDevicesOnTheSameLines) {
    GangSetup floor = setup(115200);
    floor.server = GangServer::RawThreads;
    floor.updater = (m_directory / "never-started").string();
    const GangRun gang = runGang(floor, m_image);
    ASSERT_TRUE(gang.ok) << gang.failure;
    ASSERT_EQ(gang.runs.size(), static_cast<std::size_t>(kDevices));
    for (const UpdateRun& device : gang.runs) {
        EXPECT_TRUE(device.ok) << device.failure;
        ASSERT_TRUE(device.line.has_value());
        EXPECT_GT(device.line->busy.count(), 0);
    }
    EXPECT_TRUE(gang.lineSpanMs.has_value());
    // No program ran: no program figures.
    EXPECT_FALSE(gang.cpuMs.has_value());
    EXPECT_FALSE(gang.programMs.has_value());
}

TEST_F(GangRunsTest, TheStationWindowServesTheSameDevicesOnTheSameLines) {
    for (const std::optional<long> baud : {std::optional<long>{}, std::optional<long>{115200}}) {
        SCOPED_TRACE(baud ? "paced" : "unpaced");
        GangSetup station = setup(baud);
        station.server = GangServer::Station;
        station.updater = (m_directory / "never-started").string();
        const GangRun gang = runGang(station, m_image);
        ASSERT_TRUE(gang.ok) << gang.failure;
        ASSERT_EQ(gang.runs.size(), static_cast<std::size_t>(kDevices));
        for (const UpdateRun& device : gang.runs) {
            EXPECT_TRUE(device.ok) << device.failure;
            EXPECT_EQ(device.line.has_value(), baud.has_value());
        }
        // The window really ran: it used CPU, and its run took time.
        EXPECT_GT(gang.cpuMs.value_or(0), 0);
        EXPECT_GT(gang.programMs.value_or(0), 0);
        EXPECT_EQ(gang.lineSpanMs.has_value(), baud.has_value());
    }
}

TEST_F(GangRunsTest, AFailureNamesTheProgramOrTheDevice) {
    for (const GangServer server : {GangServer::Program, GangServer::Station}) {
        const bool station = server == GangServer::Station;
        SCOPED_TRACE(station ? "station" : "oxu-update");
        GangSetup missingProgram = setup(std::nullopt);
        missingProgram.server = server;
        missingProgram.updater = (m_directory / "no-oxu-update").string();
        missingProgram.station = (m_directory / "no-oxu-station").string();
        GangRun gang = runGang(missingProgram, m_image);
        EXPECT_FALSE(gang.ok);
        EXPECT_NE(gang.failure.find(station ? missingProgram.station : missingProgram.updater),
                  std::string::npos)
            << gang.failure;

        // Devices that expect another image size refuse the frames: the
        // failure names a device's terminal and what went wrong there, or
        // the station's first tile that failed.
        GangSetup wrongSize = setup(std::nullopt);
        wrongSize.server = server;
        wrongSize.device.imageSize = kImageSize + 100;
        gang = runGang(wrongSize, m_image);
        EXPECT_FALSE(gang.ok);
        EXPECT_NE(gang.failure.find(station ? "COM 1: failed" : ": /dev/"), std::string::npos)
            << gang.failure;
    }
}

TEST(ProgramSummary, ReadsTheSummaryRecordAmongTheAttemptLines) {
    const std::string out =
        "{\"port\":1,\"record\":\"attempt\",\"result\":\"complete\",\"seconds\":0.5}\n"
        "{\"complete\":1,\"exit_code\":5,\"failed\":2,\"mode\":\"gang\",\"record\":\"summary\","
        "\"results\":[{\"device\":\"/dev/pts/4\",\"problem\":null,\"result\":\"complete\"},"
        "{\"device\":\"/dev/pts/6\",\"problem\":\"nothing heard for 10 s\","
        "\"result\":\"connection_failed\"},"
        "{\"device\":\"/dev/pts/8\",\"problem\":\"unplugged\",\"result\":\"port_lost\"}],"
        "\"seconds\":2.187}\n";
    const std::optional<ProgramSummary> summary = readProgramSummary(out);
    ASSERT_TRUE(summary.has_value());
    EXPECT_DOUBLE_EQ(summary->seconds, 2.187);
    EXPECT_EQ(summary->complete, 1);
    EXPECT_EQ(summary->failed, 2);
    EXPECT_EQ(summary->firstProblem, "/dev/pts/6: nothing heard for 10 s");

    for (const char* bad : {"", "not json\n", "{\"record\":\"attempt\",\"seconds\":1}\n",
                            "{\"record\":\"summary\",\"seconds\":\"soon\",\"complete\":1}\n"})
        EXPECT_FALSE(readProgramSummary(bad).has_value()) << bad;
}

TEST(StationReport, TakesTheFinishAndEachTilesLastStateFromTheScript) {
    const struct {
        const char* output;
        std::optional<int> exitCode;
        std::string firstProblem;
    } cases[] = {
        {"tile COM 1: page 1 of 2\ntile COM 2: page 1 of 2\ntile COM 1: complete\n"
         "tile COM 2: complete\nfinished 0\nclosed\n",
         0, ""},
        // The first failure by port number, whatever order the lines came in;
        // a later state replaces an earlier one.
        {"tile COM 12: failed: connection failed\ntile COM 3: failed: port lost\n"
         "tile COM 3: complete\ntile COM 10: stalled: no answer\nfinished 5\n",
         5, "COM 10: stalled: no answer"},
        // No run finished: no exit code. Lines that are not the script's are
        // left alone, and so are tiles without a number.
        {"message Image changed\ntile COM x: complete\ntile COM 4 complete\n"
         "tile COM 2: waiting for a board\nfinished\nfinished soon\n",
         std::nullopt, "COM 2: waiting for a board"},
        {"", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const StationReport report = readStationReport(c.output);
        EXPECT_EQ(report.exitCode, c.exitCode);
        EXPECT_EQ(report.firstProblem(), c.firstProblem);
    }
}

}  // namespace
}  // namespace oxu::bench
