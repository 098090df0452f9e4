// The ports side by side from scripted sequences of run events: each port's
// state line, tone, progress, time and counts, the session's tally, and which
// ports are to be drawn at once and which at the next refresh.

#include "runs/port_board.h"

#include <gtest/gtest.h>

namespace oxu::runs {
namespace {

using namespace std::chrono_literals;

PortIdentity identity(int number, std::string device, std::vector<std::string> byId = {}) {
    PortIdentity port;
    port.number = number;
    port.device = std::move(device);
    port.names.byId = std::move(byId);
    return port;
}

AttemptReport report(RunResult result, std::string problem = {}, int attempt = 1) {
    AttemptReport made;
    made.result = result;
    made.problem = std::move(problem);
    made.attempt = attempt;
    made.pagesAnnounced = 4;
    made.pagesServed = 4;
    made.allPagesServed = result == RunResult::Complete;
    made.duration = 2'500ms;
    return made;
}

AttemptEvent served(std::size_t slot, int page) {
    AttemptProgress progress;
    progress.page = page;
    progress.pages = 4;
    progress.elapsed = std::chrono::milliseconds(page * 100);
    return {slot, PageServed{page, 258}, progress};
}

AttemptEnded endedWith(std::size_t slot, AttemptReport made, bool again = false) {
    return {slot, identity(3, "/dev/ttyUSB0"), std::move(made), again, 500ms, 2};
}

StationChanged station(StationPhase phase, std::optional<RunResult> result = {}) {
    return {0, phase, "/dev/ttyUSB0", result};
}

// After the event, the tile of slot 0 (COM 3) shows these.
struct Step {
    RunEvent event;
    const char* state;
    Tone tone;
    int page = -1;  // -1: not checked
    int complete = 0;
    int failed = 0;
    const char* problem = "";
};

struct Story {
    const char* name;
    std::vector<Step> steps;
};

TEST(PortBoard, FollowsTheRunsEventsInWordsColourAndCounts) {
    const PortIdentity port = identity(3, "/dev/ttyUSB0", {"/dev/serial/by-id/usb-FTDI_A1-port0"});
    const RunStarted started{RunMode::Single, {port}, 2};
    const AttemptStarting first{0, "r-1", 1, 1, port};
    const AttemptStarting second{0, "r-2", 2, 2, port};
    AttemptReport busy = report(RunResult::NotStarted, "Cannot open COM 3 (/dev/ttyUSB0): busy");
    busy.errorKind = PortErrorKind::Busy;
    const Story stories[] = {
        {"complete",
         {{started, "starting", Tone::Working},
          {first, "connecting", Tone::Working, 0},
          {AttemptEvent{0, UpdateStarted{1000, 4}, {0, 4}}, "page 0 of 4", Tone::Working, 0},
          {served(0, 1), "page 1 of 4", Tone::Working, 1},
          {served(0, 4), "page 4 of 4", Tone::Working, 4},
          {endedWith(0, report(RunResult::Complete)), "complete", Tone::Complete, 4, 1, 0},
          {RunFinished{}, "complete", Tone::Complete, 4, 1, 0}}},
        {"silent, then stalled, then retried",
         {{started, "starting", Tone::Working},
          {first, "connecting", Tone::Working},
          {AttemptEvent{0, ConnectionFailed{}, {}}, "stalled: no answer", Tone::Stalled},
          {endedWith(0, report(RunResult::ConnectionFailed, "nothing heard for 10 s"), true),
           "failed: connection failed, trying again", Tone::Failed, -1, 0, 0,
           "nothing heard for 10 s"},
          {second, "connecting, attempt 2 of 2", Tone::Working},
          {served(0, 2), "page 2 of 4", Tone::Working, 2},
          {AttemptEvent{0, TransferInterrupted{}, {2, 4}}, "stalled", Tone::Stalled, 2},
          {endedWith(0, report(RunResult::TransferInterrupted, "silent for 10 s", 2)),
           "failed: transfer interrupted", Tone::Failed, 2, 0, 1, "silent for 10 s"}}},
        {"stopped mid-transfer counts neither way",
         {{started, "starting", Tone::Working},
          {first, "connecting", Tone::Working},
          {Interrupting{{0}}, "stopping", Tone::Stalled},
          {endedWith(0, report(RunResult::Interrupted, "stopped by the operator")), "interrupted",
           Tone::Stalled, -1, 0, 0, "stopped by the operator"}}},
        {"a port that cannot open",
         {{first, "connecting", Tone::Working},
          {endedWith(0, busy), "failed: could not start", Tone::Failed, -1, 0, 1,
           "in use by another program"}}},
        {"station mode, board after board",
         {{RunStarted{RunMode::Station, {identity(3, "")}, 1}, "starting", Tone::Working},
          {station(StationPhase::WaitingForBoard), "waiting for a board", Tone::Idle},
          {station(StationPhase::BoardFound), "board found", Tone::Working},
          {first, "connecting", Tone::Working},
          {endedWith(0, report(RunResult::Complete)), "complete", Tone::Complete, -1, 1, 0},
          {station(StationPhase::WaitingForRemoval, RunResult::Complete),
           "complete, remove the board", Tone::Complete, -1, 1, 0},
          {station(StationPhase::WaitingForBoard), "waiting for a board", Tone::Idle, -1, 1, 0},
          {RunFinished{}, "stopped", Tone::Idle, -1, 1, 0}}},
    };
    for (const Story& story : stories) {
        SCOPED_TRACE(story.name);
        PortBoard board({{{3, std::nullopt}, port, true}});
        std::chrono::microseconds now = 0s;
        for (const Step& step : story.steps) {
            for (std::size_t changed : board.apply(step.event, now += 10ms))
                EXPECT_EQ(changed, 0u);
            const PortView& tile = board.ports()[0];
            EXPECT_EQ(tile.state, step.state);
            EXPECT_EQ(tile.tone, step.tone) << step.state;
            if (step.page >= 0) {
                EXPECT_EQ(tile.page, step.page) << step.state;
            }
            EXPECT_EQ(tile.complete, step.complete) << step.state;
            EXPECT_EQ(tile.failed, step.failed) << step.state;
            EXPECT_EQ(tile.problem, step.problem);
            EXPECT_EQ(board.tally().complete, step.complete);
            EXPECT_EQ(board.tally().failed, step.failed);
        }
    }
}

// Two ports: which the board gives to draw at once (apply) and at a refresh,
// and the time taken it shows.
TEST(PortBoard, DrawsStatesAtOnceAndPagesAndTimeAtTheNextRefresh) {
    const PortIdentity one = identity(1, "/dev/ttyUSB0"), two = identity(2, "/dev/ttyUSB1");
    // Port 1's events, at the page and time of its attempt.
    const auto onOne = [](UpdateEvent event, int page, std::chrono::milliseconds elapsed) {
        AttemptProgress progress{page, 4};
        progress.elapsed = elapsed;
        return AttemptEvent{0, std::move(event), progress};
    };
    struct Step {
        std::chrono::milliseconds at;
        std::optional<RunEvent> event;  // none: a refresh
        std::vector<std::size_t> drawn;
        bool wantsRefresh;
        const char* state;  // port 1's, and its time taken in ms
        long elapsed;
    };
    const Step steps[] = {
        {0ms, RunStarted{RunMode::Gang, {one, two}, 1}, {0, 1}, false, "starting", 0},
        {0ms, AttemptStarting{0, "r-1", 1, 1, one}, {0}, true, "connecting", 0},
        {0ms, AttemptStarting{1, "r-2", 1, 1, two}, {1}, true, "connecting", 0},
        {10ms, onOne(UpdateStarted{1000, 4}, 0, 10ms), {0}, true, "page 0 of 4", 10},
        {20ms, onOne(PageServed{1, 258}, 1, 20ms), {}, true, "page 1 of 4", 20},
        {40ms, onOne(PageServed{2, 258}, 2, 40ms), {}, true, "page 2 of 4", 40},
        {60ms, onOne(PageServed{3, 258}, 3, 60ms), {}, true, "page 3 of 4", 60},
        {100ms, std::nullopt, {0, 1}, true, "page 3 of 4", 100},
        // Silence on port 1: a new state, drawn at once, and its time moves on.
        {1'060ms, onOne(ConnectionFailed{}, 3, 1'060ms), {0}, true, "stalled: no answer", 1'060},
        {3'000ms, std::nullopt, {0, 1}, true, "stalled: no answer", 3'000},
        {3'010ms,
         endedWith(0, report(RunResult::TransferInterrupted)),
         {0},
         true,
         "failed: transfer interrupted",
         2'500},
        {3'100ms, std::nullopt, {1}, true, "failed: transfer interrupted", 2'500},
        {3'200ms,
         endedWith(1, report(RunResult::Complete)),
         {1},
         false,
         "failed: transfer interrupted",
         2'500},
        // Between runs nothing is left to draw: a front end needs no timer.
        {3'300ms, RunFinished{}, {}, false, "failed: transfer interrupted", 2'500},
    };
    PortBoard board({{{1, std::nullopt}, one, true}, {{2, std::nullopt}, two, true}});
    for (const Step& step : steps) {
        SCOPED_TRACE(step.at.count());
        const auto drawn = step.event ? board.apply(*step.event, step.at) : board.refresh(step.at);
        EXPECT_EQ(drawn, step.drawn);
        EXPECT_EQ(board.wantsRefresh(), step.wantsRefresh);
        EXPECT_EQ(board.ports()[0].state, step.state);
        if (step.elapsed > 0) {
            EXPECT_EQ(board.ports()[0].elapsed, std::chrono::milliseconds(step.elapsed));
        }
    }
}

TEST(PortBoard, ShowsTheDeviceByItsByIdNameAndTheAdapterWithItsSerial) {
    PortIdentity usb = identity(1, "/dev/ttyUSB0", {"/dev/serial/by-id/usb-FTDI_FT232R_A1-if00"});
    usb.adapter.vendorId = 0x0403;
    usb.adapter.productId = 0x6001;
    usb.adapter.manufacturer = "FTDI";
    usb.adapter.product = "FT232R USB UART";
    usb.adapter.serialNumber = "A1";
    PortBoard board({{{1, std::nullopt}, usb, true},
                     {{2, std::nullopt}, identity(2, "/dev/pts/4"), true},
                     {{3, std::nullopt}, identity(3, ""), true}});
    const auto& tiles = board.ports();
    EXPECT_EQ(tiles[0].device, "usb-FTDI_FT232R_A1-if00");
    EXPECT_EQ(tiles[0].adapter, "FTDI FT232R USB UART, serial A1");
    EXPECT_EQ(tiles[1].device, "/dev/pts/4");
    EXPECT_EQ(tiles[1].adapter, "");
    EXPECT_EQ(tiles[2].device, "no device");
    EXPECT_EQ(tiles[0].state, "ready");
}

TEST(PortBoard, TalliesEveryBoardOfTheSessionAndItsYield) {
    const std::pair<Tally, const char*> cases[] = {
        {{0, 0}, "complete 0, failed 0, yield -"},
        {{3, 1}, "complete 3, failed 1, yield 75.0%"},
        {{2, 1}, "complete 2, failed 1, yield 66.7%"},
        {{0, 2}, "complete 0, failed 2, yield 0.0%"},
    };
    for (const auto& [tally, text] : cases)
        EXPECT_EQ(describeTally(tally), text);
}

}  // namespace
}  // namespace oxu::runs
