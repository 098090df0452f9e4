// What a run settles before any port opens: its mode, its records' context,
// the image read and hashed once, the audit log; and each reason it cannot
// start, said before anything is sent.

#include "runs/run_setup.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/kit/test_files.h"

namespace oxu::runs {
namespace {

using testkit::TempDir;

class PrepareRunTest : public testing::Test {
protected:
    RunRequest request(std::vector<PortRequest> ports, bool station = false) const {
        RunRequest made;
        made.ports = std::move(ports);
        made.image = m_image;
        made.station = station;
        made.baud = 9600;
        made.retries = 2;
        made.program = "oxu-test";
        made.version = "9.99";
        made.downloadFirst = std::chrono::milliseconds(250);
        return made;
    }

    TempDir m_files;
    std::string m_image = m_files.file("fw.bin", testkit::patterned(600));
};

TEST_F(PrepareRunTest, SettlesTheModeTheRecordsAndTheImageOnce) {
    const PortRequest a{1, "/dev/oxu-a"}, b{2, "/dev/oxu-b"};
    const std::pair<RunRequest, RunMode> cases[] = {
        {request({a}), RunMode::Single},
        {request({a, b}), RunMode::Gang},
        {request({a}, true), RunMode::Station},
    };
    for (const auto& [asked, mode] : cases) {
        const auto run = prepareRun(asked);
        EXPECT_EQ(run->setup.mode, mode);
        EXPECT_EQ(run->setup.ports, asked.ports);
        EXPECT_EQ(run->setup.baud, 9600);
        EXPECT_EQ(run->setup.retries, 2);
        EXPECT_EQ(run->setup.downloadFirst, std::chrono::milliseconds(250));
        EXPECT_EQ(run->setup.context.program, "oxu-test");
        EXPECT_EQ(run->setup.context.baud, 9600);
        EXPECT_EQ(run->setup.runId.size(), 16u);
        EXPECT_EQ(run->image.size(), 600u);
        EXPECT_EQ(run->image.sha256(), sha256Hex(testkit::patterned(600)));
        EXPECT_TRUE(run->sinks().empty());
    }
    RunRequest logged = request({a});
    logged.logPath = m_files.path() + "/audit.jsonl";
    EXPECT_EQ(prepareRun(logged)->sinks().size(), 1u);
}

TEST_F(PrepareRunTest, SaysWhyARunCannotStart) {
    const PortRequest a{1, "/dev/oxu-a"};
    RunRequest noPort = request({}), shared = request({a, {2, "/dev/oxu-a"}}),
               missing = request({a}), empty = request({a}), badLog = request({a});
    missing.image = m_files.path() + "/nowhere.bin";
    empty.image = m_files.file("empty.bin", {});
    badLog.logPath = m_files.path() + "/no/such/folder/audit.jsonl";
    // The request's own faults apart from what the system refused: a
    // command line calls the first bad usage.
    const std::tuple<RunRequest, std::string, bool> cases[] = {
        {noPort, "no port to use", true},
        {shared, "COM 1 (/dev/oxu-a) and COM 2 (/dev/oxu-a) are the same device", true},
        {missing, "nowhere.bin", false},
        {empty, "the firmware file \"" + empty.image + "\" is empty (0 bytes): nothing to send",
         true},
        {badLog, "audit.jsonl", false},
    };
    for (const auto& [asked, reason, badRequest] : cases) {
        try {
            prepareRun(asked);
            ADD_FAILURE() << "started: " << reason;
        } catch (const RunNotStarted& failure) {
            EXPECT_NE(std::string(failure.what()).find(reason), std::string::npos)
                << failure.what();
            EXPECT_EQ(failure.badRequest, badRequest) << reason;
        }
    }
}

}  // namespace
}  // namespace oxu::runs
