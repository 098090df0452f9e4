// The watchdog's tick runs only while an update is watched: the transfer
// starts it when it arms the watch, the watchdog stops it on the first tick
// that finds nothing to watch. These tests drive a timer that ticks only
// while the window services have it switched on, and check that the
// watchdog's reports and their timing are those of a timer that never stops.

#include <gtest/gtest.h>

#include "tests/kit/watched_update.h"

namespace oxu {
namespace {

using namespace std::chrono_literals;
using testkit::ShownBox;
using testkit::UpdateRig;

class WatchdogTickTest : public ::testing::Test, public UpdateRig {};

TEST_F(WatchdogTickTest, TimerRunsOnlyWhileAnUpdateIsWatched) {
    const struct {
        const char* situation;
        std::function<void(UpdateRig&)> play;
        std::vector<bool> switches;
        std::vector<std::string> boxes;
    } cases[] = {
        {"idle window", [](UpdateRig& t) { t.runSwitched(10s); }, {}, {}},
        {"the port cannot be opened",
         [](UpdateRig& t) {
             t.port.openFailure = "Cannot open COM 1: busy";
             EXPECT_THROW(t.start(), SerialError);
             t.runSwitched(5s);
         },
         {},
         {}},
        {"device never answers",
         [](UpdateRig& t) {
             t.start();
             t.runSwitched(10s);
         },
         {true, false},
         {"Connection Failed"}},
        {"update completes",
         [](UpdateRig& t) {
             t.start();
             t.runSwitched(200ms);
             t.port.deliver({0xAA, 0x01});
             t.port.deliver({0x55});
             t.runSwitched(10s);
         },
         {true, false},
         {"Transfert Complete"}},
        {"port lost",
         [](UpdateRig& t) {
             t.start();
             t.port.loseLine("The connection to COM 1 was lost.");
             t.runSwitched(10s);
         },
         {true, false},
         {"The connection to COM 1 was lost."}},
        {"device speaks again after the report, then completes",
         [](UpdateRig& t) {
             t.start();
             t.runSwitched(2s);
             t.port.deliver({0xAA, 0x01});
             t.runSwitched(2s);
             t.port.deliver({0xAA, 0x02});
             t.port.deliver({0x55});
             t.runSwitched(5s);
         },
         {true, false, true, false, true, false},
         {"Connection Failed", "Transfer Interrupted", "Transfert Complete"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        UpdateRig t;
        c.play(t);
        EXPECT_EQ(t.switches, c.switches);
        EXPECT_EQ(t.window.boxTexts(), c.boxes);
        EXPECT_FALSE(t.running) << "nothing is watched at the end";
    }
}

TEST_F(WatchdogTickTest, StoppedTimerStopsOneTickAfterTheWatchEnds) {
    start();
    port.deliver({0xAA, 0x01});
    port.deliver({0x55});
    const int before = ticks;
    runSwitched(1h);
    EXPECT_EQ(ticks - before, 1) << "one tick finds nothing to watch, then none";
}

TEST_F(WatchdogTickTest, RequestsDoNotRestartARunningTimer) {
    // A timer restarted on every request would not tick while the device
    // asks faster than every 10 ms: the switch is called once for the lot.
    start();
    for (int page = 1; page <= 7; ++page) {
        clock.advance(3ms);
        port.deliver({0xAA, static_cast<std::uint8_t>(page)});
    }
    EXPECT_EQ(switches, std::vector<bool>{true});
}

TEST_F(WatchdogTickTest, ReportsComeAsLateAsWithATimerThatNeverStops) {
    // Device silent from the header: the first tick after 1.0 s.
    const auto started = clock.now();
    start();
    auto fired = runSwitched(3s);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0] - started, 1010ms);

    // Speaking again between two ticks of the restarted timer: the report
    // still comes on the first tick after a second of silence.
    clock.advance(4ms);
    port.deliver({0xAA, 0x01});
    const auto lastByte = clock.now();
    fired = runSwitched(3s);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_GT(fired[0] - lastByte, 1s);
    EXPECT_LE(fired[0] - lastByte, 1s + 10ms);
    EXPECT_EQ(window.boxTexts(),
              (std::vector<std::string>{"Connection Failed", "Transfer Interrupted"}));
}

TEST_F(WatchdogTickTest, KeepsTickingWhileABoxIsOpenAndReportsWhenItCloses) {
    start();
    port.deliver({0xAA, 0x01});
    std::vector<std::chrono::microseconds> firedDuringBox;
    window.whileBoxOpen = [&](const ShownBox& box) {
        if (box.text == "Please start from page 1")
            firedDuringBox = runSwitched(3s);
    };
    port.deliver({0xAA, 0x00});
    EXPECT_TRUE(firedDuringBox.empty()) << "no box over a box";
    EXPECT_TRUE(running) << "the silence is still watched";
    EXPECT_EQ(switches, std::vector<bool>{true});
    EXPECT_EQ(runSwitched(10ms).size(), 1u) << "the first tick after the box reports";
    EXPECT_EQ(window.boxes.back().text, "Transfer Interrupted");
}

TEST_F(WatchdogTickTest, DeviceSpeakingWhileTheReportIsOpenRestartsTheTimer) {
    start();
    window.whileBoxOpen = [&](const ShownBox& box) {
        if (box.text != "Connection Failed")
            return;
        runSwitched(500ms);  // the timer stops: nothing is watched
        EXPECT_FALSE(running);
        port.deliver({0xAA, 0x01});
        EXPECT_TRUE(running);
        runSwitched(3s);  // a second silence, while the first report is still open
    };
    runSwitched(2s);
    window.whileBoxOpen = nullptr;
    EXPECT_EQ(window.boxTexts(), std::vector<std::string>{"Connection Failed"});
    EXPECT_EQ(runSwitched(10ms).size(), 1u);
    EXPECT_EQ(window.boxes.back().text, "Transfer Interrupted");
}

}  // namespace
}  // namespace oxu
