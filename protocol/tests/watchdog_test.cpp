#include "protocol/watchdog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "tests/kit/watched_update.h"

namespace oxu {
namespace {

using namespace std::chrono_literals;
using testkit::ShownBox;

class WatchdogTest : public ::testing::Test, public testkit::UpdateRig {};

TEST_F(WatchdogTest, SilentDeviceGivesOneConnectionFailedJustAfterOneSecond) {
    const auto started = clock.now();
    start();
    const auto fired = runTimer(10s);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0] - started, 1010ms) << "first tick after 1.0 s";
    EXPECT_EQ(window.boxes[0].text, "Connection Failed");
    EXPECT_EQ(window.boxes[0].icon, Icon::Warning);
    EXPECT_EQ(window.boxes[0].title, std::optional<std::string>("OXU Updater"));
    EXPECT_TRUE(port.isOpen()) << "the port stays open";
}

TEST_F(WatchdogTest, DeviceFallingSilentGivesOneTransferInterrupted) {
    start();
    for (int page = 1; page <= 3; ++page) {
        clock.advance(300ms);
        port.deliver({0xAA, static_cast<std::uint8_t>(page)});
    }
    const auto lastByte = clock.now();
    const auto fired = runTimer(5s);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0] - lastByte, 1010ms);
    EXPECT_EQ(window.boxes[0].text, "Transfer Interrupted");
    EXPECT_EQ(window.status, "Transferring page 003 ...") << "status keeps its last text";
}

TEST_F(WatchdogTest, FiresOnlyWhenSilenceIsStrictlyLongerThanOneSecond) {
    struct Case {
        std::chrono::microseconds gap;
        bool fires;
    };
    for (const Case& c :
         {Case{999'999us, false}, Case{1s, false}, Case{1'000'001us, true}, Case{-5s, false}}) {
        window.boxes.clear();
        start();
        clock.advance(c.gap);
        update.tick();
        EXPECT_EQ(window.boxes.size(), c.fires ? 1u : 0u) << c.gap.count() << " us";
        clock.advance(-c.gap);
    }
}

TEST_F(WatchdogTest, NeverFiresAfterCompletion) {
    start();
    port.deliver({0xAA, 0x01});
    port.deliver({0x55});
    ASSERT_EQ(window.boxTexts(), std::vector<std::string>{"Transfert Complete"});
    EXPECT_TRUE(runTimer(3600s).empty());
}

TEST_F(WatchdogTest, ReplyAfterTimeoutRearmsAndUpdateCanStillComplete) {
    start();
    runTimer(2s);
    port.deliver({0xAA, 0x01});
    EXPECT_FALSE(update.awaitingFirstReply());
    runTimer(2s);
    port.deliver({0xAA, 0x02});
    port.deliver({0x55});
    EXPECT_EQ(window.boxTexts(),
              (std::vector<std::string>{"Connection Failed", "Transfer Interrupted",
                                        "Transfert Complete"}));
}

TEST_F(WatchdogTest, SilenceAcrossLocalMidnightIsStillReported) {
    // Whatever the local time, the watchdog measures on the monotonic clock:
    // put the process just before midnight in a far zone and let the fake
    // clock cross a day boundary.
    ::setenv("TZ", "Pacific/Kiritimati", 1);
    ::tzset();
    constexpr std::chrono::microseconds kDay = 86'400s;
    clock.set(kDay - 500ms);
    start();
    const auto fired = runTimer(3s);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_GT(fired[0], kDay);
    EXPECT_EQ(window.boxes[0].text, "Connection Failed");

    // The real clock counts monotonic time and is never zero, the value that
    // stops the watching.
    SteadyClock steady;
    const auto first = steady.now();
    EXPECT_GT(first, 0us);
    EXPECT_GE(steady.now(), first);
    ::unsetenv("TZ");
}

TEST_F(WatchdogTest, UpdateStartedAtClockZeroIsWatched) {
    clock.set(0us);
    start();
    // Zero means "not watching"; a start at a zero reading is still watched.
    EXPECT_EQ(runTimer(2s).size(), 1u);
}

TEST_F(WatchdogTest, WaitsForOwnBoxToCloseBeforeReporting) {
    start();
    port.deliver({0xAA, 0x01});

    // A silence that ends while "Please start from page 1" is open: no box on
    // top of it, and the bytes that ended it re-arm the watch once it closes.
    window.whileBoxOpen = [&](const ShownBox&) {
        runTimer(3s);
        port.deliver({0xAA, 0x02});
    };
    port.deliver({0xAA, 0x00});
    window.whileBoxOpen = nullptr;
    EXPECT_EQ(window.boxTexts(), std::vector<std::string>{"Please start from page 1"});
    EXPECT_TRUE(runTimer(900ms).empty());

    // A silence that outlasts the box: reported on the first tick after it.
    window.whileBoxOpen = [&](const ShownBox& box) {
        if (box.text == "Please start from page 1")
            runTimer(3s);
    };
    port.deliver({0xAA, 0x00});
    EXPECT_EQ(window.boxes.size(), 2u);
    const auto fired = runTimer(20ms);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(window.boxes.back().text, "Transfer Interrupted");
}

TEST_F(WatchdogTest, WaitsWhileFileDialogIsOpen) {
    start();
    window.whileDialogOpen = [&] { EXPECT_TRUE(runTimer(5s).empty()); };
    window.chosenFile = "";
    update.runUpdateCommand();
    EXPECT_EQ(runTimer(10ms).size(), 1u);
}

}  // namespace
}  // namespace oxu
