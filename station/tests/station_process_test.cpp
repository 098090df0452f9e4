// oxu-station-scripted, the real window as a child process on the offscreen
// platform, against simulated devices on pseudo-terminals: Start pressed
// through the accessibility interface, the tiles read back the same way, and
// the audit log it leaves.

#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <sstream>

#include "runs/image.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/programs.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kImageSize = 1000;  // 4 pages

std::unique_ptr<DeviceSim> startDevice(bool silent) {
    std::vector<std::string> flags{"--image-size", std::to_string(kImageSize), "--timeout", "30"};
    if (silent)
        flags.push_back("--silent");
    return std::make_unique<DeviceSim>(kSimulator, flags);
}

// The audit log's attempt records.
std::vector<QJsonObject> attemptRecords(const std::string& log) {
    std::vector<QJsonObject> found;
    std::istringstream lines(readText(log));
    for (std::string line; std::getline(lines, line);) {
        const QJsonObject record =
            QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (record["record"].toString() == "attempt")
            found.push_back(record);
    }
    return found;
}

TEST(StationProcess, ThreeDevicesCompleteAndTheSilentOneFailsWithFourRecords) {
    if (kSimulator.empty())
        GTEST_SKIP() << "oxu-device-sim is not part of this build";
    TempDir files;
    const std::string image = files.file("fw.bin", patterned(kImageSize));
    const std::string log = files.path() + "/audit.jsonl";
    std::vector<std::unique_ptr<DeviceSim>> sims;
    std::vector<std::string> args{"--log", log};
    for (int i = 0; i < 4; ++i) {
        sims.push_back(startDevice(i == 2));
        args.insert(args.end(), {"--device", sims.back()->path()});
    }
    args.push_back(image);

    ChildProcess station(OXU_STATION_SCRIPTED, args, {{"QT_QPA_PLATFORM", "offscreen"}},
                         ChildProcess::Input::Pipe);
    ASSERT_TRUE(station.writeInput("start\n"));
    // The silent device is given up after the 10 s without progress.
    const auto finished = station.waitForLine("finished ", 60s);
    ASSERT_TRUE(finished) << station.output(ChildProcess::Stream::Err);
    EXPECT_EQ(*finished, "finished 5");
    ASSERT_TRUE(station.writeInput("state\nclose\n"));
    const ProgramResult result = station.finish(30s);
    EXPECT_EQ(result.exitCode, 0) << result.err;

    const std::string state = result.out.substr(result.out.rfind("finished 5"));
    for (const char* line : {"tile COM 1: complete\n", "tile COM 2: complete\n",
                             "tile COM 3: failed: connection failed\n", "tile COM 4: complete\n",
                             "tally complete 3, failed 1, yield 75.0%\n", "closed\n"})
        EXPECT_NE(state.find(line), std::string::npos) << line << " in:\n" << state;

    const std::string sha256 = runs::ImageSnapshot::take(image).sha256();
    const auto attempts = attemptRecords(log);
    EXPECT_EQ(attempts.size(), 4u);
    for (const QJsonObject& record : attempts)
        EXPECT_EQ(record["firmware"].toObject()["sha256"].toString().toStdString(), sha256);
}

TEST(StationProcess, SigtermStopsTheRunWithItsRecordsThenEnds) {
    if (kSimulator.empty())
        GTEST_SKIP() << "oxu-device-sim is not part of this build";
    TempDir files;
    const std::string log = files.path() + "/audit.jsonl";
    const auto sim = startDevice(true);
    ChildProcess station(
        OXU_STATION_SCRIPTED,
        {"--log", log, "--device", sim->path(), files.file("fw.bin", patterned(kImageSize))},
        {{"QT_QPA_PLATFORM", "offscreen"}}, ChildProcess::Input::Pipe);
    ASSERT_TRUE(station.writeInput("start\n"));
    ASSERT_TRUE(station.waitForLine("tile COM 1: page 0 of 4", 30s));
    station.sendSignal(SIGTERM);
    // Its input stays open until then: its end would close the window, as
    // the operator does.
    ASSERT_TRUE(station.waitForLine("finished ", 30s));
    const ProgramResult result = station.finish(30s);
    EXPECT_EQ(result.exitCode, 130) << result.err;
    EXPECT_NE(result.out.find("tile COM 1: interrupted\nfinished 130\nclosed\n"), std::string::npos)
        << result.out;
    const auto attempts = attemptRecords(log);
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0]["result"].toString(), "interrupted");
    EXPECT_EQ(attempts[0]["problem"].toString(), "interrupted by a signal");
}

}  // namespace
}  // namespace oxu::testkit
