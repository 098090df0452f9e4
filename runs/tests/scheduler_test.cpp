// The scheduler on scripted ports and a clock moved by hand: what each port
// ends with, the records, retries, station mode, the image snapshot, a
// signal, and closes that take their time.

#include "runs/scheduler.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <fstream>
#include <set>

#include "protocol/firmware_image.h"
#include "tests/kit/scripted_ports.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;
using runs::AttemptEnded;
using runs::RecordKind;
using runs::RunMode;
using runs::RunResult;
using runs::StationPhase;

constexpr std::size_t kImageSize = 1000;  // 4 pages

// What an honest device receives: the header, then every page frame once.
Bytes wireBytesOf(const Bytes& image) {
    const long long pages = pageCount(image.size());
    Bytes wire = buildHeaderFrame(pages);
    for (int page = 1; page <= pages; ++page) {
        const Bytes frame = buildPageFrame(pageSlice(image, page));
        wire.insert(wire.end(), frame.begin(), frame.end());
    }
    return wire;
}

class SchedulerTest : public testing::Test {
protected:
    SchedulerTest()
        : m_path(m_files.file("fw.bin", patterned(kImageSize))),
          m_image(runs::ImageSnapshot::take(m_path)) {}

    // Starts a run of ports 1..scripts.size(), each device following its script.
    void start(RunMode mode, std::vector<DeviceScript> scripts, int retries = 0,
               std::chrono::milliseconds timeout = 2s) {
        runs::SchedulerSetup setup;
        setup.mode = mode;
        setup.retries = retries;
        setup.timeout = timeout;
        setup.downloadFirst = downloadFirst;
        setup.runId = "run";
        setup.context = {"oxu-update", "1.00", "bench-3", 38400};
        for (std::size_t i = 0; i < scripts.size(); ++i) {
            const int number = static_cast<int>(i) + 1;
            ports.scripts[number] = scripts[i];
            setup.ports.push_back({number, std::nullopt});
        }
        scheduler = std::make_unique<runs::Scheduler>(
            setup, m_image, runs::SchedulerParts{ports, clock, observer, {&sink}, &ports});
        scheduler->start();
    }

    bool runToEnd(std::chrono::microseconds limit = 120s) {
        return clock.runUntil([this] { return scheduler->finished(); }, limit);
    }

    const runs::RunSummary& summary() const { return scheduler->summary(); }

    TempDir m_files;
    std::string m_path;
    runs::ImageSnapshot m_image;
    FakeRunClock clock;
    ScriptedPorts ports{clock, kImageSize};
    RecordingRunObserver observer;
    MemorySink sink;
    std::unique_ptr<runs::Scheduler> scheduler;
    std::optional<std::chrono::milliseconds> downloadFirst;  // for the next start()
};

// ---- how each port ends -----------------------------------------------------

struct PortCase {
    const char* name;
    RunMode mode;
    std::vector<DeviceScript> devices;
    int retries;
    std::vector<RunResult> results;  // by port
    std::vector<int> attempts;       // by port
    int exitCode;
    std::vector<std::string> problems;  // by port; "" for none
};

class EndsAsItsDevice : public SchedulerTest, public testing::WithParamInterface<PortCase> {};

TEST_P(EndsAsItsDevice, WithItsRecordAndTheRunsExitCode) {
    const PortCase& c = GetParam();
    start(c.mode, c.devices, c.retries);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(summary().exitCode, c.exitCode);
    ASSERT_EQ(summary().outcomes.size(), c.devices.size());
    for (std::size_t i = 0; i < c.devices.size(); ++i) {
        const runs::AttemptReport& last = summary().outcomes[i].last;
        EXPECT_EQ(last.result, c.results[i]) << "port " << i + 1 << ": " << last.problem;
        EXPECT_EQ(last.attempt, c.attempts[i]) << "port " << i + 1;
        EXPECT_EQ(last.problem, c.problems[i]) << "port " << i + 1;
        const auto logs = ports.logsOf(static_cast<int>(i) + 1);
        ASSERT_EQ(logs.size(), static_cast<std::size_t>(c.attempts[i]));
        for (const auto& log : logs) {
            // Every port still open is let go without holding up the loop.
            const bool wasOpen =
                last.result != RunResult::PortLost && last.result != RunResult::NotStarted;
            EXPECT_EQ(log->closedWhenSent, wasOpen);
            EXPECT_FALSE(log->closedAtOnce);
        }
        if (last.result == RunResult::Complete && !c.devices[i].completeAtOnce) {
            EXPECT_EQ(logs.back()->written, wireBytesOf(m_image.bytes())) << "port " << i + 1;
            EXPECT_TRUE(last.allPagesServed);
            EXPECT_EQ(last.bytesSent, logs.back()->written.size());
        }
    }
}

DeviceScript honest() {
    return {};
}
DeviceScript silent() {
    return {.silent = true};
}

INSTANTIATE_TEST_SUITE_P(
    Devices, EndsAsItsDevice,
    testing::Values(
        PortCase{"Honest", RunMode::Single, {honest()}, 0, {RunResult::Complete}, {1}, 0, {""}},
        PortCase{"Silent",
                 RunMode::Single,
                 {silent()},
                 0,
                 {RunResult::ConnectionFailed},
                 {1},
                 2,
                 {"nothing heard for 2 s"}},
        PortCase{"LostPartWay",
                 RunMode::Single,
                 {{.loseAfter = 2}},
                 0,
                 {RunResult::PortLost},
                 {1},
                 4,
                 {"The connection to COM 1 was lost"}},
        PortCase{"Busy",
                 RunMode::Single,
                 {{.openFailure = "Cannot open COM 1: in use"}},
                 0,
                 {RunResult::NotStarted},
                 {1},
                 1,
                 {"Cannot open COM 1: in use"}},
        PortCase{"SilentTwiceWithOneRetry",
                 RunMode::Single,
                 {silent()},
                 1,
                 {RunResult::ConnectionFailed},
                 {2},
                 2,
                 {"nothing heard for 2 s"}},
        PortCase{"SilentOnceThenHealthy",
                 RunMode::Single,
                 {{.silentAttempts = 1}},
                 2,
                 {RunResult::Complete},
                 {2},
                 0,
                 {""}},
        PortCase{"GangWithASilentDevice",
                 RunMode::Gang,
                 {honest(), silent(), honest()},
                 0,
                 {RunResult::Complete, RunResult::ConnectionFailed, RunResult::Complete},
                 {1, 1, 1},
                 5,
                 {"", "nothing heard for 2 s", ""}},
        PortCase{"GangRetriesOnlyTheFailedPort",
                 RunMode::Gang,
                 {honest(), {.silentAttempts = 1}},
                 2,
                 {RunResult::Complete, RunResult::Complete},
                 {1, 2},
                 0,
                 {"", ""}}),
    [](const auto& info) { return info.param.name; });

TEST_F(SchedulerTest, AFloodIsEndedByTheTimeoutAndSaidAsItWas) {
    // One port floods its line with zeros and never asks for a page; the
    // other completes. The run ends when the flood's --timeout is up.
    start(RunMode::Gang, {honest(), {.floodEvery = 50ms}}, 0, 2s);
    const auto begin = clock.now();
    ASSERT_TRUE(runToEnd(60s));
    EXPECT_LE(clock.now() - begin, 2100ms);
    const runs::AttemptReport& flooded = summary().outcomes[1].last;
    EXPECT_EQ(flooded.result, RunResult::TransferInterrupted);
    EXPECT_EQ(flooded.problem,
              std::to_string(flooded.bytesHeard) +
                  " bytes heard but no valid request for 2 s (wrong baud rate or wiring?)");
    EXPECT_GE(flooded.bytesHeard, 39u);
    EXPECT_EQ(summary().exitCode, runs::kExitSomeFailed);
}

TEST_F(SchedulerTest, WithTheShortestTimeoutTheSilenceIsToldBeforeTheAttemptGivesUp) {
    start(RunMode::Single, {silent()}, 0, 1s);
    ASSERT_TRUE(runToEnd());
    std::vector<std::string> order;
    for (const runs::RunEvent& event : observer.events) {
        if (const auto* happened = std::get_if<runs::AttemptEvent>(&event);
            happened && std::holds_alternative<ConnectionFailed>(happened->event))
            order.push_back("told");
        if (std::holds_alternative<AttemptEnded>(event))
            order.push_back("ended");
    }
    EXPECT_EQ(order, (std::vector<std::string>{"told", "ended"}));
    EXPECT_EQ(summary().outcomes[0].last.problem, "nothing heard for 1 s");
}

TEST_F(SchedulerTest, ACompletionBeforeEveryPageIsCompleteButSaysSo) {
    start(RunMode::Single, {{.completeAtOnce = true}});
    ASSERT_TRUE(runToEnd());
    const runs::AttemptReport& last = summary().outcomes[0].last;
    EXPECT_EQ(last.result, RunResult::Complete);
    EXPECT_FALSE(last.allPagesServed);
    EXPECT_EQ(last.pagesServed, 0);
    EXPECT_EQ(summary().exitCode, 0);
    ASSERT_EQ(sink.of(RecordKind::Attempt).size(), 1u);
    EXPECT_FALSE(sink.of(RecordKind::Attempt)[0]["all_pages_served"].toBool());
}

TEST_F(SchedulerTest, AFailedPortStartsAgainAfterThePauseAndWithItsNumber) {
    start(RunMode::Single, {{.silentAttempts = 1}}, 1, 2s);
    ASSERT_TRUE(runToEnd());
    const auto ended = observer.all<AttemptEnded>();
    const auto starting = observer.all<runs::AttemptStarting>();
    ASSERT_EQ(ended.size(), 2u);
    ASSERT_EQ(starting.size(), 2u);
    EXPECT_TRUE(ended[0].again);
    EXPECT_FALSE(ended[1].again);
    EXPECT_EQ(starting[1].attempt, 2);
    // The first attempt gave up after --timeout; the second header went out
    // a pause later.
    const auto logs = ports.logsOf(1);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_GT(logs[0]->closeAsked - logs[0]->headerAt, 2s);
    EXPECT_LT(logs[0]->closeAsked - logs[0]->headerAt, 2010ms);
    EXPECT_EQ(logs[1]->headerAt - logs[0]->closeAsked, runs::Scheduler::kRetryPause);
}

// ---- records ----------------------------------------------------------------

TEST_F(SchedulerTest, EveryAttemptHasAStartRecordBeforeItsPortOpensAndAnEndWithTheSameId) {
    // When each start record arrives, no port has been made for its attempt yet.
    std::vector<std::size_t> portsMadeAtStarts;
    sink.whenWritten = [&](RecordKind kind, const QJsonObject&) {
        if (kind == RecordKind::AttemptStart)
            portsMadeAtStarts.push_back(ports.logs.size());
    };
    start(RunMode::Gang, {honest(), {.silentAttempts = 1}, {.openFailure = "busy"}}, 1);
    ASSERT_TRUE(runToEnd());

    const auto starts = sink.of(RecordKind::AttemptStart);
    const auto ends = sink.of(RecordKind::Attempt);
    ASSERT_EQ(starts.size(), 5u);  // 1 + 2 + 2
    ASSERT_EQ(ends.size(), 5u);
    EXPECT_EQ(portsMadeAtStarts, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    std::set<QString> ids;
    for (const QJsonObject& begun : starts) {
        const QString id = begun["attempt_id"].toString();
        EXPECT_TRUE(ids.insert(id).second) << "ids are unique";
        int matching = 0;
        for (const QJsonObject& ended : ends)
            matching += ended["attempt_id"].toString() == id ? 1 : 0;
        EXPECT_EQ(matching, 1) << id.toStdString();
        EXPECT_EQ(begun["firmware"]["sha256"].toString().toStdString(), m_image.sha256());
        EXPECT_EQ(begun["firmware"]["bytes"].toInt(), static_cast<int>(kImageSize));
        EXPECT_EQ(begun["device"]["real_path"].toString().toStdString(),
                  "/dev/ttyFAKE" + std::to_string(begun["port"].toInt()));
    }
    ASSERT_EQ(sink.of(RecordKind::Summary).size(), 1u);
    EXPECT_EQ(sink.records.back().first, RecordKind::Summary);
}

TEST_F(SchedulerTest, ARecordThatCannotBeWrittenIsToldAndTheRunGoesOn) {
    sink.refusal = "cannot write to the audit log \"x\": No space left on device";
    start(RunMode::Single, {honest()});
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(summary().outcomes[0].last.result, RunResult::Complete);
    // The start, the attempt and the summary.
    EXPECT_EQ(observer.all<runs::RecordNotWritten>().size(), 3u);
    EXPECT_EQ(observer.all<runs::RunFinished>().at(0).recordsNotWritten, 3);
}

// ---- one image per run ------------------------------------------------------

TEST_F(SchedulerTest, TheSnapshotIsSentAfterTheFileChangesAndTheChangeIsToldOnce) {
    const Bytes original = m_image.bytes();
    start(RunMode::Gang, {honest(), {.silentAttempts = 1}, {.silentAttempts = 2}}, 2);
    // The first attempts are under way; the file is replaced with another
    // image of another size.
    clock.advance(100ms);
    std::filesystem::remove(m_path);
    std::ofstream(m_path, std::ios::binary) << std::string(300, 'x');
    ASSERT_TRUE(runToEnd());

    EXPECT_EQ(observer.all<runs::ImageChanged>().size(), 1u);
    EXPECT_TRUE(summary().imageChangedOnDisk);
    EXPECT_TRUE(sink.of(RecordKind::Summary)[0]["image_changed_on_disk"].toBool());
    for (int port = 1; port <= 3; ++port) {
        EXPECT_EQ(ports.logsOf(port).back()->written, wireBytesOf(original)) << port;
        EXPECT_EQ(summary().outcomes[static_cast<std::size_t>(port) - 1].last.result,
                  RunResult::Complete);
    }
    for (const QJsonObject& record : sink.of(RecordKind::Attempt)) {
        EXPECT_EQ(record["firmware"]["sha256"].toString().toStdString(), m_image.sha256());
        EXPECT_EQ(record["firmware"]["bytes"].toInt(), static_cast<int>(kImageSize));
    }
}

TEST_F(SchedulerTest, AnUntouchedFileIsNotReportedAsChanged) {
    start(RunMode::Single, {{.silentAttempts = 1}}, 1);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(observer.all<runs::ImageChanged>().empty());
    EXPECT_FALSE(summary().imageChangedOnDisk);
}

// ---- closes and signals -----------------------------------------------------

TEST_F(SchedulerTest, APortSlowToCloseHoldsUpOnlyItself) {
    // Port 1 completes first and its adapter then takes 30 s to drain; ports
    // 2 and 3 answer slower devices meanwhile.
    start(RunMode::Gang,
          {{.closeTakes = 30s, .answerAfter = 1ms}, {.answerAfter = 50ms}, {.answerAfter = 50ms}});
    ASSERT_TRUE(clock.runUntil([&] { return ports.logsOf(1)[0]->closedWhenSent; }, 10s));
    const auto drainBegan = clock.now();
    ASSERT_TRUE(runToEnd(60s));
    for (int port = 2; port <= 3; ++port) {
        const auto& answered = ports.logsOf(port)[0]->answered;
        ASSERT_EQ(answered.size(), 4u);
        EXPECT_LT(answered.back() - drainBegan, 1s) << port;
        EXPECT_EQ(summary().outcomes[static_cast<std::size_t>(port) - 1].last.result,
                  RunResult::Complete);
    }
    // The run ends once the slow port is closed too.
    EXPECT_GE(clock.now() - drainBegan, 30s);
}

TEST_F(SchedulerTest, ASignalEndsEveryAttemptWithARecordAndWaitsForThePortsToClose) {
    start(RunMode::Gang, {silent(), silent(), {.silent = true, .closeTakes = 300ms}, honest()}, 0,
          60s);
    clock.advance(200ms);  // ports 1-3 are waiting on their devices; port 4 completed
    scheduler->interrupt();
    EXPECT_FALSE(scheduler->finished()) << "port 3 is still closing";
    ASSERT_EQ(observer.all<runs::Interrupting>().size(), 1u);
    EXPECT_EQ(observer.all<runs::Interrupting>()[0].running, (std::vector<std::size_t>{0, 1, 2}));
    ASSERT_TRUE(runToEnd(1s));
    EXPECT_EQ(summary().exitCode, runs::kExitInterrupted);
    EXPECT_TRUE(summary().interrupted);
    const RunResult expected[] = {RunResult::Interrupted, RunResult::Interrupted,
                                  RunResult::Interrupted, RunResult::Complete};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(summary().outcomes[i].last.result, expected[i]) << i;
    EXPECT_EQ(sink.of(RecordKind::Attempt).size(), 4u);
    for (const auto& log : ports.logs)
        EXPECT_TRUE(log->closedWhenSent);
}

TEST_F(SchedulerTest, AnInterruptionIsRecordedAsWhatEndedIt) {
    const struct {
        RunMode mode;
        runs::Interruption why;
        const char* problem;
    } cases[] = {
        {RunMode::Gang, runs::Interruption::Signal, "interrupted by a signal"},
        {RunMode::Gang, runs::Interruption::OperatorStop, "stopped by the operator"},
        {RunMode::Station, runs::Interruption::OperatorStop, "stopped by the operator"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        sink.records.clear();
        observer.events.clear();
        ports.present[1] = ports.present[2] = true;
        start(c.mode, {silent(), silent()}, 0, 60s);
        clock.advance(2s);
        scheduler->interrupt(c.why);
        ASSERT_TRUE(runToEnd(1s));

        ASSERT_EQ(observer.all<runs::Interrupting>().size(), 1u);
        EXPECT_EQ(observer.all<runs::Interrupting>()[0].why, c.why);
        EXPECT_EQ(summary().exitCode, runs::kExitInterrupted);
        const auto ended = sink.of(RecordKind::Attempt);
        ASSERT_EQ(ended.size(), 2u);
        const auto outcomes = sink.of(RecordKind::Summary).at(0)["results"].toArray();
        ASSERT_EQ(outcomes.size(), 2);
        for (const QJsonObject& record :
             std::vector<QJsonObject>{ended[0], ended[1], outcomes[0].toObject()}) {
            EXPECT_EQ(record["result"].toString(), "interrupted");
            EXPECT_EQ(record["problem"].toString().toStdString(), c.problem);
        }
    }
}

// ---- station mode -----------------------------------------------------------

TEST_F(SchedulerTest, StationFlashesEachBoardOnceAsItComesAndGoes) {
    start(RunMode::Station, {honest(), {.silentAttempts = 1}});
    const auto phasesOf = [&](std::size_t slot) {
        std::vector<StationPhase> phases;
        for (const auto& changed : observer.all<runs::StationChanged>()) {
            if (changed.slot == slot)
                phases.push_back(changed.phase);
        }
        return phases;
    };
    clock.advance(1s);
    EXPECT_TRUE(ports.logs.empty()) << "no board, no port opened";
    // A board on each port: port 1's completes, port 2's is silent (no retry).
    ports.present[1] = ports.present[2] = true;
    clock.advance(5s);
    // Port 1's board leaves and the next comes; it is flashed too.
    ports.present[1] = false;
    clock.advance(1s);
    ports.boards[1] = 2;
    ports.present[1] = true;
    clock.advance(3s);
    scheduler->interrupt();
    ASSERT_TRUE(runToEnd(1s));

    using P = StationPhase;
    EXPECT_EQ(phasesOf(0), (std::vector<P>{P::WaitingForBoard, P::BoardFound, P::Flashing,
                                           P::WaitingForRemoval, P::WaitingForBoard, P::BoardFound,
                                           P::Flashing, P::WaitingForRemoval}));
    EXPECT_EQ(phasesOf(1), (std::vector<P>{P::WaitingForBoard, P::BoardFound, P::Flashing,
                                           P::WaitingForRemoval}));
    const auto tallies = observer.all<runs::BoardTally>();
    ASSERT_EQ(tallies.size(), 3u);
    EXPECT_EQ(tallies.back().complete, 2);
    EXPECT_EQ(tallies.back().failed, 1);
    ASSERT_EQ(summary().outcomes.size(), 3u);
    EXPECT_EQ(summary().outcomes[2].port.adapter.serialNumber, "SN1-2") << "the second board";
    // Each board numbered on its own port, the tally told with the board it counts.
    EXPECT_EQ(summary().outcomes[0].board, 1);
    EXPECT_EQ(summary().outcomes[1].board, 1);
    EXPECT_EQ(summary().outcomes[2].board, 2);
    EXPECT_EQ(tallies.back().slot, 0u);
    EXPECT_EQ(tallies.back().board.board, 2);
    EXPECT_EQ(summary().exitCode, runs::kExitSomeFailed);
    EXPECT_EQ(summary().mode, RunMode::Station);
}

TEST_F(SchedulerTest, StationBoardTakenOutBeforeItsRetryEndsWithItsFirstFailure) {
    start(RunMode::Station, {silent()}, 1);
    ports.present[1] = true;
    ASSERT_TRUE(clock.runUntil([&] { return !observer.all<AttemptEnded>().empty(); }, 10s));
    ports.present[1] = false;  // during the pause before the retry
    clock.advance(2s);
    scheduler->interrupt();
    ASSERT_TRUE(runToEnd(1s));

    EXPECT_EQ(ports.logs.size(), 1u) << "no retry on a board that is gone";
    ASSERT_EQ(summary().outcomes.size(), 1u);
    const runs::PortOutcome& board = summary().outcomes[0];
    EXPECT_EQ(board.last.result, RunResult::ConnectionFailed);
    EXPECT_TRUE(board.removedBeforeRetry);
    EXPECT_EQ(runs::describeProblem(board),
              "nothing heard for 2 s; board removed before the retry");
    ASSERT_EQ(observer.all<runs::BoardTally>().size(), 1u);
    EXPECT_EQ(observer.all<runs::BoardTally>()[0].failed, 1);
}

TEST_F(SchedulerTest, StationInterruptedMidBoardExitsInterrupted) {
    start(RunMode::Station, {silent()}, 0, 60s);
    ports.present[1] = true;
    clock.advance(2s);
    ASSERT_EQ(ports.logs.size(), 1u);
    scheduler->interrupt();
    ASSERT_TRUE(runToEnd(1s));
    ASSERT_EQ(summary().outcomes.size(), 1u);
    EXPECT_EQ(summary().outcomes[0].last.result, RunResult::Interrupted);
    EXPECT_EQ(summary().exitCode, runs::kExitInterrupted);
}

// ---- the download command first ------------------------------------------

struct DownloadFirstCase {
    const char* name;
    DeviceScript device;
    int retries;
    std::chrono::milliseconds settle;
    RunResult result;
    std::string problem;
    // The steps on each attempt's port; "settle" stands where the settle
    // time must pass with the port closed.
    std::vector<std::vector<std::string>> attempts;
    const char* recorded;  // the records' "download_command"
};

class DownloadFirst : public SchedulerTest,
                      public testing::WithParamInterface<DownloadFirstCase> {};

TEST_P(DownloadFirst, SendsTheCommandClosesSettlesThenUpdatesOnTheSamePort) {
    const DownloadFirstCase& c = GetParam();
    downloadFirst = c.settle;
    start(RunMode::Single, {c.device}, c.retries);
    ASSERT_TRUE(runToEnd());
    const runs::AttemptReport& last = summary().outcomes[0].last;
    EXPECT_EQ(last.result, c.result) << last.problem;
    EXPECT_EQ(last.problem, c.problem);

    const auto logs = ports.logsOf(1);
    ASSERT_EQ(logs.size(), c.attempts.size());
    const Bytes command = buildDownloadCommand();
    for (std::size_t i = 0; i < logs.size(); ++i) {
        std::vector<std::string> expected;
        for (const std::string& step : c.attempts[i]) {
            if (step != "settle")
                expected.push_back(step);
        }
        EXPECT_EQ(logs[i]->stepNames(), expected) << "attempt " << i + 1;
        // Nothing opens again before the settle time has passed.
        if (std::count(c.attempts[i].begin(), c.attempts[i].end(), "settle") == 1) {
            EXPECT_EQ(logs[i]->timeOf("open", 1) - logs[i]->timeOf("closed"), c.settle);
        }
        // Whatever left first was the command (a failed write left nothing).
        const Bytes& written = logs[i]->written;
        if (!written.empty()) {
            ASSERT_GE(written.size(), command.size());
            EXPECT_EQ(Bytes(written.begin(), written.begin() + 3), command);
        }
    }
    if (c.result == RunResult::Complete) {
        Bytes expected = command;
        const Bytes wire = wireBytesOf(m_image.bytes());
        expected.insert(expected.end(), wire.begin(), wire.end());
        EXPECT_EQ(logs.back()->written, expected);
        EXPECT_EQ(last.bytesSent, wire.size()) << "the command is not the update's";
    }
    const auto records = sink.of(RecordKind::Attempt);
    ASSERT_EQ(records.size(), c.attempts.size());
    for (const QJsonObject& record : records)
        EXPECT_EQ(record["download_command"].toString().toStdString(), c.recorded);
    EXPECT_EQ(sink.of(RecordKind::Summary)[0]["results"][0]["download_command"].toString(),
              c.recorded);
}

const std::vector<std::string> kSentThenUpdated{"open",   "command",     "close asked",
                                                "closed", "settle",      "open",
                                                "header", "close asked", "closed"};

INSTANTIATE_TEST_SUITE_P(
    Devices, DownloadFirst,
    testing::Values(
        DownloadFirstCase{
            "Honest", honest(), 0, 500ms, RunResult::Complete, "", {kSentThenUpdated}, "sent"},
        DownloadFirstCase{
            "NoSettleTime", honest(), 0, 0ms, RunResult::Complete, "", {kSentThenUpdated}, "sent"},
        DownloadFirstCase{"ASlowCloseIsWaitedFor",
                          {.closeTakes = 300ms},
                          0,
                          500ms,
                          RunResult::Complete,
                          "",
                          {kSentThenUpdated},
                          "sent"},
        DownloadFirstCase{"PortWillNotOpen",
                          {.openFailure = "Cannot open COM 1: in use"},
                          0,
                          500ms,
                          RunResult::NotStarted,
                          "the download command could not be sent: Cannot open COM 1: in use",
                          {{"open"}},
                          "failed"},
        DownloadFirstCase{"CommandWriteFails",
                          {.commandWriteFailure = "Cannot write to COM 1: I/O error"},
                          0,
                          500ms,
                          RunResult::NotStarted,
                          "the download command could not be sent: Cannot write to COM 1: I/O "
                          "error",
                          {{"open", "command", "close asked", "closed"}},
                          "failed"},
        DownloadFirstCase{"CommandDidNotLeave",
                          {.commandCloseFailure = "the line accepted nothing for 3 s"},
                          0,
                          500ms,
                          RunResult::NotStarted,
                          "the download command could not be sent: the line accepted nothing "
                          "for 3 s",
                          {{"open", "command", "close asked", "closed"}},
                          "failed"},
        // A device that fell out of download mode needs the command again.
        DownloadFirstCase{"EveryRetrySendsItAgain",
                          {.silentAttempts = 1},
                          1,
                          500ms,
                          RunResult::Complete,
                          "",
                          {kSentThenUpdated, kSentThenUpdated},
                          "sent"},
        DownloadFirstCase{"AFailedSendIsRetriedToo",
                          {.openFailure = "busy"},
                          1,
                          500ms,
                          RunResult::NotStarted,
                          "the download command could not be sent: busy",
                          {{"open"}, {"open"}},
                          "failed"}),
    [](const auto& info) { return info.param.name; });

TEST_F(SchedulerTest, ASignalWhileSettlingEndsTheAttemptWithNoUpdate) {
    downloadFirst = 5s;
    start(RunMode::Single, {honest()});
    clock.advance(1s);
    scheduler->interrupt();
    ASSERT_TRUE(runToEnd(1s));
    EXPECT_EQ(summary().outcomes[0].last.result, RunResult::Interrupted);
    EXPECT_EQ(ports.logsOf(1)[0]->stepNames(),
              (std::vector<std::string>{"open", "command", "close asked", "closed"}));
    EXPECT_EQ(sink.of(RecordKind::Attempt)[0]["download_command"].toString(), "sent");
}

TEST_F(SchedulerTest, ASignalDuringTheCommandsCloseWaitsForThatClose) {
    downloadFirst = 500ms;
    start(RunMode::Single, {{.closeTakes = 2s}});
    clock.advance(100ms);
    scheduler->interrupt();
    EXPECT_FALSE(scheduler->finished()) << "the command's close is under way";
    ASSERT_TRUE(runToEnd(3s));
    const auto log = ports.logsOf(1)[0];
    EXPECT_EQ(log->stepNames(),
              (std::vector<std::string>{"open", "command", "close asked", "closed"}));
    EXPECT_EQ(summary().outcomes[0].last.result, RunResult::Interrupted);
    EXPECT_TRUE(observer.all<runs::DownloadCommandSent>().empty());
}

TEST_F(SchedulerTest, StationSendsTheCommandToEveryBoard) {
    downloadFirst = 500ms;
    start(RunMode::Station, {honest()});
    for (int board = 1; board <= 2; ++board) {
        ports.boards[1] = board;
        ports.present[1] = true;
        clock.advance(5s);
        ports.present[1] = false;
        clock.advance(1s);
    }
    scheduler->interrupt();
    ASSERT_TRUE(runToEnd(1s));
    ASSERT_EQ(summary().outcomes.size(), 2u);
    const auto logs = ports.logsOf(1);
    ASSERT_EQ(logs.size(), 2u);
    for (std::size_t board = 0; board < 2; ++board) {
        EXPECT_EQ(logs[board]->stepNames(),
                  (std::vector<std::string>{"open", "command", "close asked", "closed", "open",
                                            "header", "close asked", "closed"}))
            << "board " << board + 1;
        EXPECT_EQ(logs[board]->timeOf("open", 1) - logs[board]->timeOf("closed"), 500ms);
        EXPECT_EQ(summary().outcomes[board].last.result, RunResult::Complete);
    }
}

// ---- the exit decision ------------------------------------------------------

TEST(DecideExitCode, FollowsTheModeTheResultsAndTheSignal) {
    using R = RunResult;
    struct Case {
        RunMode mode;
        std::vector<R> results;
        bool interrupted;
        int exitCode;
    };
    const Case cases[] = {
        {RunMode::Single, {R::Complete}, false, 0},
        {RunMode::Single, {R::ConnectionFailed}, false, 2},
        {RunMode::Single, {R::TransferInterrupted}, false, 3},
        {RunMode::Single, {R::PortLost}, false, 4},
        {RunMode::Single, {R::NotStarted}, false, 1},
        {RunMode::Single, {R::Complete}, true, 130},
        {RunMode::Gang, {R::Complete, R::Complete}, false, 0},
        {RunMode::Gang, {R::Complete, R::PortLost}, false, 5},
        {RunMode::Gang, {R::Complete, R::Interrupted}, true, 130},
        {RunMode::Station, {}, true, 0},
        {RunMode::Station, {R::Complete, R::Complete}, true, 0},
        {RunMode::Station, {R::Complete, R::ConnectionFailed}, true, 5},
        {RunMode::Station, {R::Complete, R::Interrupted}, true, 130},
    };
    for (const Case& c : cases) {
        std::vector<runs::PortOutcome> outcomes;
        for (R result : c.results)
            outcomes.push_back({{}, {.result = result}});
        EXPECT_EQ(runs::decideExitCode(c.mode, outcomes, c.interrupted), c.exitCode)
            << runs::modeKey(c.mode) << " " << c.results.size() << " " << c.interrupted;
    }
}

}  // namespace
}  // namespace oxu::testkit
