#include "protocol/watched_update.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "protocol/firmware_image.h"
#include "protocol/frames.h"
#include "tests/kit/fakes.h"
#include "tests/kit/test_files.h"

namespace oxu {
namespace {

using namespace std::chrono_literals;
using testkit::FakeClock;
using testkit::FakePort;
using testkit::FakeWindow;
using testkit::patterned;
using testkit::RecordingObserver;

class WatchedUpdateTest : public ::testing::Test {
protected:
    WatchedUpdateTest() { update.setObserver(&observer); }

    FakePort port;
    FakeWindow window;
    FakeClock clock;
    RecordingObserver observer{&window};
    WatchedUpdate update{port, window, clock};
};

TEST_F(WatchedUpdateTest, StartsFromAnImageInMemoryOnThePortAsAskedFor) {
    const struct {
        const char* name;
        PortSelection selection;
        std::vector<std::string> portCalls;
    } cases[] = {
        {"from the window",
         PortSelection::FromWindow,
         {"close", "port 4", "settings 9600,n,8,1", "open"}},
        {"as configured", PortSelection::AsConfigured, {"close", "open"}},
    };
    window.port = "4";
    window.baud = BaudOption::Option2;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        port.forceOpen();  // an earlier attempt left it open
        port.clearRecord();
        const Bytes image = patterned(300);
        update.start(image, c.selection);
        EXPECT_EQ(port.log, c.portCalls);
        EXPECT_EQ(port.written, buildHeaderFrame(2));
        EXPECT_EQ(update.image(), image);
        EXPECT_TRUE(update.watching());
        EXPECT_TRUE(update.awaitingFirstReply());

        port.deliver({0xAA, 0x02});
        EXPECT_EQ(Bytes(port.written.begin() + 4, port.written.end()),
                  buildPageFrame(pageSlice(image, 2)));
    }
}

TEST_F(WatchedUpdateTest, ImageOfMoreThan255PagesIsRefusedBeforeTheHeader) {
    EXPECT_THROW(update.start(Bytes(kMaxImageBytes + 1, 1), PortSelection::AsConfigured),
                 std::invalid_argument);
    EXPECT_TRUE(port.written.empty());
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(update.watching());
    ASSERT_EQ(observer.events.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<StartFailed>(observer.events[0]));
}

TEST_F(WatchedUpdateTest, ProgressSaysWhatWasServedAndHeardSinceTheStart) {
    const struct {
        const char* name;
        std::size_t imageBytes;
        std::vector<Bytes> arrivals;
        UpdateProgress expected;  // lastProgress: set below
        bool allServed;
    } cases[] = {
        {"nothing heard", 600, {}, {3, 0, 0, 0}, false},
        {"completion with no page served", 600, {{0x55}}, {3, 0, 0, 1}, false},
        {"every page, one twice",
         600,
         {{0xAA, 1}, {0xAA, 2}, {0xAA, 2}, {0xAA, 3}},
         {3, 4, 3, 8},
         true},
        {"pages past the image and page 0 count for nothing",
         300,
         {{0xAA, 1}, {0xAA, 0}, {0xAA, 9}},
         {2, 2, 1, 6},
         false},
        {"half a request", 300, {{0xAA}}, {2, 0, 0, 1}, false},
        {"an empty image", 0, {}, {0, 0, 0, 0}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        update.start(patterned(c.imageBytes), PortSelection::AsConfigured);
        const auto started = clock.now();
        auto lastServed = started;
        for (const Bytes& bytes : c.arrivals) {
            clock.advance(100ms);
            const int served = update.progress().requestsServed;
            port.deliver(bytes);
            if (update.progress().requestsServed > served)
                lastServed = clock.now();
        }
        const UpdateProgress progress = update.progress();
        EXPECT_EQ(progress.pagesAnnounced, c.expected.pagesAnnounced);
        EXPECT_EQ(progress.requestsServed, c.expected.requestsServed);
        EXPECT_EQ(progress.pagesServed, c.expected.pagesServed);
        EXPECT_EQ(progress.bytesHeard, c.expected.bytesHeard);
        EXPECT_EQ(progress.allPagesServed(), c.allServed);
        EXPECT_EQ(progress.lastProgress, lastServed);
        clock.advance(1h);
    }
}

TEST_F(WatchedUpdateTest, StoppedWatchReportsNoSilenceUntilTheDeviceSpeaks) {
    bool ticking = false;
    window.setTickSwitch([&](bool run) { ticking = run; });
    update.start(patterned(600), PortSelection::AsConfigured);
    ASSERT_TRUE(ticking);
    update.stopWatching();
    EXPECT_FALSE(ticking);
    EXPECT_FALSE(update.watching());
    EXPECT_EQ(update.lastActivity(), 0us);
    clock.advance(5s);
    update.tick();
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(port.isOpen()) << "the port is the caller's to close";

    port.deliver({0xAA, 0x01});
    EXPECT_TRUE(ticking);
    EXPECT_EQ(update.lastActivity(), clock.now());
    clock.advance(1001ms);
    update.tick();
    EXPECT_EQ(window.boxTexts(), std::vector<std::string>{"Transfer Interrupted"});
}

TEST(WatchedUpdateLifetime, PortThatOutlivesTheUpdateNoLongerCallsIntoIt) {
    FakePort port;
    FakeWindow window;
    FakeClock clock;
    auto update = std::make_unique<WatchedUpdate>(port, window, clock);
    update->start(patterned(100), PortSelection::AsConfigured);
    update.reset();
    port.deliver({0xAA, 0x01});
    port.loseLine("The connection to COM 1 was lost.");
    EXPECT_EQ(port.written, buildHeaderFrame(1));
    EXPECT_TRUE(window.boxes.empty());
}

}  // namespace
}  // namespace oxu
