// The presenters of a run, fed its events as values: the words people read,
// what --quiet leaves out, station rows and their tally, and the end of a run.

#include "cli/presenters.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/kit/device_sim.h"
#include "tests/kit/fakes.h"
#include "tests/kit/test_files.h"

namespace oxu::cli {
namespace {

using namespace std::chrono_literals;
using namespace runs;

// Standard output and error of the presenters, captured while it lives.
class CapturedStreams {
public:
    CapturedStreams()
        : m_out(std::cout.rdbuf(m_outText.rdbuf())), m_err(std::cerr.rdbuf(m_errText.rdbuf())) {}
    ~CapturedStreams() {
        std::cout.rdbuf(m_out);
        std::cerr.rdbuf(m_err);
    }
    std::string out() const { return m_outText.str(); }
    std::string err() const { return m_errText.str(); }

private:
    std::ostringstream m_outText, m_errText;
    std::streambuf* m_out;
    std::streambuf* m_err;
};

PortIdentity portOf(int number) {
    return {number, "/dev/pts/" + std::to_string(number), {}, {}};
}

AttemptReport reportOf(RunResult result, std::string problem = {}) {
    AttemptReport report;
    report.result = result;
    report.problem = std::move(problem);
    report.pagesAnnounced = 4;
    report.pagesServed = result == RunResult::Complete ? 4 : 0;
    report.allPagesServed = result == RunResult::Complete;
    report.bytesSent = result == RunResult::Complete ? 1'012 : 4;
    return report;
}

// One port's whole attempt: its start, the engine's events, its end.
std::vector<RunEvent> attemptOn(std::size_t slot, const std::vector<UpdateEvent>& engine,
                                const AttemptReport& report) {
    std::vector<RunEvent> events{AttemptStarting{slot, "run-1", 1, 1, portOf(int(slot) + 1)}};
    for (const UpdateEvent& event : engine)
        events.push_back(AttemptEvent{slot, event, {}});
    events.push_back(AttemptEnded{slot, portOf(int(slot) + 1), report});
    return events;
}

class PresenterTest : public testing::Test {
protected:
    PresenterTest()
        : m_image(ImageSnapshot::take(m_files.file("fw.bin", testkit::patterned(1000)))) {}

    Options optionsFor(std::size_t ports, Verbosity verbosity, bool station = false) {
        Options options;
        for (std::size_t i = 0; i < ports; ++i)
            options.ports.push_back({int(i) + 1, std::nullopt});
        options.verbosity = verbosity;
        options.station = station;
        return options;
    }

    // Several ports (or a station), not live: what goes to the progress
    // stream, then the messages, then the table.
    std::string runGang(const Options& options, const std::vector<RunEvent>& events) {
        std::ostringstream progress, table;
        CapturedStreams captured;
        auto presenter = makeGangPresenter(options, m_image, m_clock, false, 80, progress, table);
        for (const RunEvent& event : events)
            presenter->onRunEvent(event);
        return progress.str() + "--\n" + captured.err() + "--\n" + table.str();
    }

    testkit::TempDir m_files;
    ImageSnapshot m_image;
    testkit::FakeClock m_clock;
};

std::vector<RunEvent> twoPortsOneSilent() {
    std::vector<RunEvent> events{RunStarted{RunMode::Gang, {portOf(1), portOf(2)}, 1}};
    for (const RunEvent& event :
         attemptOn(0, {UpdateStarted{1000, 4}, PageServed{1, 258}, UpdateCompleted{}},
                   reportOf(RunResult::Complete)))
        events.push_back(event);
    for (const RunEvent& event :
         attemptOn(1, {UpdateStarted{1000, 4}, ConnectionFailed{}},
                   reportOf(RunResult::ConnectionFailed, "nothing heard for 10 s")))
        events.push_back(event);
    RunSummary summary;
    summary.mode = RunMode::Gang;
    summary.outcomes = {
        {portOf(1), reportOf(RunResult::Complete)},
        {portOf(2), reportOf(RunResult::ConnectionFailed, "nothing heard for 10 s")}};
    events.push_back(RunFinished{summary, 0});
    return events;
}

TEST_F(PresenterTest, SeveralPortsSpeakTheCommandLinesWordsAndEndWithTheCount) {
    struct Case {
        const char* name;
        Verbosity verbosity;
        std::vector<std::string> shown;
        std::vector<std::string> left_out;
    };
    const Case cases[] = {
        {"Normal",
         Verbosity::Normal,
         {"COM 1: page 001/004\n", "oxu-update: COM 1: complete\n",
          "oxu-update: COM 2: connection failed\n", "oxu-update: COM 2: giving up: nothing heard",
          "image \"", "COM 2: connection failed\n"},
         {"Transfert", "Connection Failed"}},
        {"Quiet",
         Verbosity::Quiet,
         {"oxu-update: COM 2: connection failed\n", "oxu-update: COM 2: giving up"},
         {"page 001", "image \"", "sending to", "Transfert"}},
    };
    for (const Case& c : cases) {
        const std::string shown = runGang(optionsFor(2, c.verbosity), twoPortsOneSilent());
        for (const std::string& text : c.shown)
            EXPECT_NE(shown.find(text), std::string::npos) << c.name << ": " << text << "\n"
                                                           << shown;
        for (const std::string& text : c.left_out)
            EXPECT_EQ(shown.find(text), std::string::npos) << c.name << ": " << text << "\n"
                                                           << shown;
        // Whatever the verbosity: the table, then the count, last.
        EXPECT_NE(shown.find("\nport    result"), std::string::npos) << c.name << shown;
        EXPECT_EQ(shown.substr(shown.size() - 16), "1 of 2 complete\n") << c.name << shown;
    }
}

TEST_F(PresenterTest, StationRowsComeBeforeTheirTallyAndWaitingShowsNoOldProgress) {
    const Options options = optionsFor(1, Verbosity::Normal, true);
    PortOutcome board{portOf(1), reportOf(RunResult::ConnectionFailed, "nothing heard for 2 s")};
    board.board = 3;
    board.removedBeforeRetry = true;
    std::vector<RunEvent> events{RunStarted{RunMode::Station, {portOf(1)}, 2},
                                 StationChanged{0, StationPhase::WaitingForBoard, {}, {}}};
    for (const RunEvent& event :
         attemptOn(0, {UpdateStarted{1000, 4}, PageServed{1, 258}}, board.last))
        events.push_back(event);
    events.push_back(
        StationChanged{0, StationPhase::WaitingForRemoval, "/dev/pts/1", board.last.result});
    events.push_back(BoardTally{2, 1, 0, board});
    events.push_back(StationChanged{0, StationPhase::WaitingForBoard, {}, {}});
    RunSummary summary;
    summary.mode = RunMode::Station;
    summary.outcomes = {board};
    events.push_back(RunFinished{summary, 0});

    const std::string shown = runGang(options, events);
    const std::size_t row = shown.find("oxu-update: COM 1: board 3 at ");
    const std::size_t tally = shown.find("oxu-update: station: 2 flashed, 1 failed");
    ASSERT_NE(row, std::string::npos) << shown;
    EXPECT_LT(row, tally) << shown;
    EXPECT_NE(shown.find(": connection failed (nothing heard for 2 s; board removed before the "
                         "retry)\n",
                         row),
              std::string::npos)
        << shown;
    // Said once on a log, however often the station goes back to waiting.
    EXPECT_EQ(testkit::countOccurrences(shown, "COM 1: waiting for a board\n"), 2) << shown;
    EXPECT_NE(shown.find("COM 1: connection failed; waiting for the board to be removed"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("0 of 1 complete\n"), std::string::npos) << shown;
}

TEST_F(PresenterTest, AStationStoppedBeforeAnyBoardSaysSoWithoutATable) {
    RunSummary summary;
    summary.mode = RunMode::Station;
    summary.interrupted = true;
    const std::string shown = runGang(optionsFor(2, Verbosity::Normal, true),
                                      {RunStarted{RunMode::Station, {portOf(1), portOf(2)}, 1},
                                       Interrupting{}, RunFinished{summary, 0}});
    EXPECT_NE(shown.find("oxu-update: no boards were flashed\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("port "), std::string::npos) << shown;
    EXPECT_EQ(shown.find("complete"), std::string::npos) << shown;
}

TEST_F(PresenterTest, OnePortSaysItsResultInTheCommandLinesWords) {
    struct Case {
        const char* name;
        Verbosity verbosity;
        UpdateEvent event;
        const char* said;
        bool progress;  // the image line and the page lines
    };
    const Case cases[] = {
        {"Complete", Verbosity::Normal, UpdateCompleted{}, "oxu-update: complete\n", true},
        {"PageZero", Verbosity::Normal, PageZeroRequested{},
         "oxu-update: the device asked for page 0; pages start at 1\n", true},
        {"QuietComplete", Verbosity::Quiet, UpdateCompleted{}, "oxu-update: complete\n", false},
    };
    for (const Case& c : cases) {
        Options options = optionsFor(1, c.verbosity);
        std::string out, err;
        {
            CapturedStreams captured;
            auto presenter = makeSinglePresenter(options, m_image, m_clock);
            presenter->onRunEvent(RunStarted{RunMode::Single, {portOf(1)}, 1});
            for (const RunEvent& event :
                 attemptOn(0, {UpdateStarted{1000, 4}, PageServed{1, 258}, c.event},
                           reportOf(RunResult::Complete)))
                presenter->onRunEvent(event);
            out = captured.out();
            err = captured.err();
        }
        EXPECT_NE(err.find(c.said), std::string::npos) << c.name << ": " << err;
        EXPECT_EQ((err + out).find("page 001/004") != std::string::npos, c.progress)
            << c.name << ": " << out << err;
        EXPECT_EQ(err.find("image \"") != std::string::npos, c.progress) << c.name << ": " << err;
    }
}

}  // namespace
}  // namespace oxu::cli
