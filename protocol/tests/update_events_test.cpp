// The typed events an update reports, in order, for a whole update, for each
// way it can fail, and the download command's three results.

#include <gtest/gtest.h>

#include <functional>

#include "protocol/download_command.h"
#include "tests/kit/watched_update.h"

namespace oxu {
namespace {

using namespace std::chrono_literals;
using testkit::FakePort;
using testkit::FakeWindow;
using testkit::patterned;
using testkit::RecordingObserver;

using Events = std::vector<UpdateEvent>;

// Public, so that the table's device scripts can reach the fakes.
class UpdateEventsTest : public ::testing::Test, public testkit::UpdateRig {
public:
    UpdateEventsTest() { update.setObserver(&observer); }

    // Starts an update of `size` bytes; a start that throws is recorded by
    // the observer like any other.
    void start(std::size_t size) {
        try {
            update.start(files.file("image.bin", patterned(size)));
        } catch (const std::exception&) {
        }
    }

    RecordingObserver observer{&window};
};

TEST_F(UpdateEventsTest, ReportsEachStepOfTheUpdateInOrder) {
    struct Case {
        const char* name;
        std::size_t imageSize;
        std::function<void(UpdateEventsTest&)> device;
        Events expected;
    };
    const Case cases[] = {
        {"whole update, pages in any order, one past the image",
         300,
         [](UpdateEventsTest& t) {
             t.port.deliver({0xAA, 0x02});
             t.port.deliver({0xAA, 0x01});
             t.port.deliver({0xAA, 0x03});
             t.port.deliver({0x55});
         },
         {UpdateStarted{300, 2}, PageServed{2, 46}, PageServed{1, 258}, PageServed{3, 2},
          UpdateCompleted{}}},
        {"page 0 is asked for",
         300,
         [](UpdateEventsTest& t) {
             t.port.deliver({0xAA, 0x00});
             t.port.deliver({0xAA, 0x01});
         },
         {UpdateStarted{300, 2}, PageZeroRequested{}, PageServed{1, 258}}},
        {"the device never answers",
         300,
         [](UpdateEventsTest& t) { t.runTimer(3s); },
         {UpdateStarted{300, 2}, ConnectionFailed{}}},
        {"the device falls silent, then speaks again",
         300,
         [](UpdateEventsTest& t) {
             t.port.deliver({0xAA, 0x01});
             t.runTimer(1500ms);
             t.port.deliver({0xAA, 0x02});
             t.runTimer(1500ms);
         },
         {UpdateStarted{300, 2}, PageServed{1, 258}, TransferInterrupted{}, PageServed{2, 46},
          TransferInterrupted{}}},
        {"the port goes away",
         300,
         [](UpdateEventsTest& t) {
             t.port.deliver({0xAA, 0x01});
             t.port.loseLine("The connection to COM 1 was lost");
             t.runTimer(3s);
         },
         {UpdateStarted{300, 2}, PageServed{1, 258}, PortLost{"The connection to COM 1 was lost"}}},
        {"the device stops reading",
         300,
         [](UpdateEventsTest& t) {
             t.port.deliver({0xAA, 0x01});
             t.port.loseLine("COM 1: the device stopped reading", PortErrorKind::Stalled);
             t.runTimer(3s);
         },
         {UpdateStarted{300, 2}, PageServed{1, 258},
          PortLost{"COM 1: the device stopped reading", PortErrorKind::Stalled}}},
        {"a write fails while a page goes out",
         300,
         [](UpdateEventsTest& t) {
             t.port.writeFailure = "Cannot write to COM 1: Input/output error";
             t.port.deliver({0xAA, 0x01});
             t.runTimer(3s);
         },
         {UpdateStarted{300, 2},
          WriteFailed{"Cannot write to COM 1: Input/output error", PortErrorKind::Io}}},
        {"an empty image",
         0,
         [](UpdateEventsTest& t) { t.port.deliver({0x55}); },
         {UpdateStarted{0, 0}, UpdateCompleted{}}},
        {"the close after completion cannot send what was left",
         300,
         [](UpdateEventsTest& t) {
             t.port.deliver({0xAA, 0x01});
             t.port.closeFailure = "COM 1: 2 bytes were still waiting to be sent";
             t.port.deliver({0x55});
         },
         {UpdateStarted{300, 2}, PageServed{1, 258},
          UpdateCompleted{"COM 1: 2 bytes were still waiting to be sent"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateEventsTest& t = *this;
        t.observer.events.clear();
        t.port.writeFailure.clear();
        t.port.closeFailure.clear();
        t.start(c.imageSize);
        c.device(t);
        EXPECT_EQ(t.observer.events, c.expected);
    }
}

TEST_F(UpdateEventsTest, ReportsAFailedStartWithTheTextOfItsBox) {
    const struct {
        const char* name;
        std::size_t imageSize;
        std::string openFailure;
    } cases[] = {
        {"port in use", 300, "Cannot open COM 1 (/dev/ttyUSB0): in use"},
        {"too many pages", 65'281, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        observer.events.clear();
        window.boxes.clear();
        port.openFailure = c.openFailure;
        start(c.imageSize);
        ASSERT_EQ(observer.events.size(), 1u);
        const auto* failed = std::get_if<StartFailed>(&observer.events[0]);
        ASSERT_NE(failed, nullptr);
        if (!c.openFailure.empty()) {
            EXPECT_EQ(failed->reason, c.openFailure);
        }
    }
    // Through the button, the box shows the same text, after the event.
    observer.events.clear();
    window.chosenFile = files.file("big.bin", patterned(65'281));
    update.runUpdateCommand();
    ASSERT_EQ(observer.events.size(), 1u);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(std::get<StartFailed>(observer.events[0]).reason, window.boxes[0].text);
    EXPECT_EQ(observer.boxesBefore[0], 0u) << "the event comes before its box";
}

TEST_F(UpdateEventsTest, ReportsNothingWhenThereIsNoFileToSend) {
    for (const std::string& path : {std::string(), files.path() + "/missing.bin", files.path()}) {
        update.start(path);
    }
    EXPECT_TRUE(observer.events.empty());
    EXPECT_TRUE(port.log.empty());
}

TEST_F(UpdateEventsTest, EachEventComesBeforeTheBoxThatGoesWithIt) {
    start(300);
    port.deliver({0xAA, 0x00});  // "Please start from page 1"
    runTimer(1500ms);            // "Transfer Interrupted"
    port.deliver({0x55});        // "Transfert Complete"
    ASSERT_EQ(window.boxes.size(), 3u);
    ASSERT_EQ(observer.events.size(), 4u);
    EXPECT_EQ(observer.boxesBefore, (std::vector<std::size_t>{0, 0, 1, 2}));
}

TEST(DownloadCommandResult, SaysWhetherTheCommandWasSentDeclinedOrFailed) {
    using Outcome = DownloadResult::Outcome;
    const struct {
        const char* name;
        Answer answer;
        std::string openFailure;
        Outcome expected;
    } cases[] = {
        {"sent", Answer::Yes, "", Outcome::Sent},
        {"declined", Answer::No, "", Outcome::Declined},
        {"failed", Answer::Yes, "Cannot open COM 1 (/dev/ttyUSB0): in use", Outcome::Failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePort port;
        FakeWindow window;
        window.answers = {c.answer};
        port.openFailure = c.openFailure;
        const DownloadResult result = runDownloadCommand(port, window);
        EXPECT_EQ(result.outcome, c.expected);
        EXPECT_EQ(result.failure, c.openFailure);
        EXPECT_EQ(port.written.empty(), c.expected != Outcome::Sent);
    }
}

}  // namespace
}  // namespace oxu
