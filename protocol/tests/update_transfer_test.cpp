#include "protocol/update_transfer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "protocol/firmware_image.h"
#include "protocol/frames.h"
#include "protocol/watched_update.h"
#include "tests/kit/fakes.h"
#include "tests/kit/test_files.h"

namespace oxu {
namespace {

using namespace std::chrono_literals;
using testkit::FakeClock;
using testkit::FakePort;
using testkit::FakeWindow;
using testkit::patterned;
using testkit::ShownBox;
using testkit::TempDir;

class UpdateTransferTest : public ::testing::Test {
protected:
    // Starts an update of a fresh image of `size` bytes and forgets the
    // configuration calls, leaving only the header in the record.
    Bytes start(std::size_t size) {
        const Bytes image = patterned(size);
        update.start(files.file("image.bin", image));
        return image;
    }
    Bytes frameFor(const Bytes& image, int page) { return buildPageFrame(pageSlice(image, page)); }

    TempDir files;
    FakePort port;
    FakeWindow window;
    FakeClock clock;
    WatchedUpdate update{port, window, clock};
};

TEST_F(UpdateTransferTest, RunsWholeUpdateOfThreeHundredBytesByteForByte) {
    window.port = "3";
    window.baud = BaudOption::Option3;
    const Bytes image = start(300);

    EXPECT_EQ(port.log, (std::vector<std::string>{"port 3", "settings 19200,n,8,1", "open"}));
    EXPECT_EQ(port.writes, (std::vector<Bytes>{{0xAA, 0x02, 0x00, 0xAC}}));
    EXPECT_TRUE(update.awaitingFirstReply());
    EXPECT_TRUE(update.watching());

    port.deliver({0xAA, 0x01});
    EXPECT_EQ(window.status, "Transferring page 001 ...");
    port.deliver({0xAA, 0x02});
    EXPECT_EQ(window.status, "Transferring page 002 ...");

    Bytes expected = {0xAA, 0x02, 0x00, 0xAC};
    for (int page : {1, 2}) {
        const Bytes frame = frameFor(image, page);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(port.written, expected);
    // The header in one write, then one write per page byte: 258 + 46.
    EXPECT_EQ(port.writes.size(), 1u + 258u + 46u);
    EXPECT_FALSE(update.awaitingFirstReply());

    port.deliver({0x55});
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(window.status, "");
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Transfert Complete");
    EXPECT_EQ(window.boxes[0].icon, Icon::Information);
    EXPECT_EQ(window.boxes[0].title, std::optional<std::string>("OXU Updater"));
    EXPECT_FALSE(update.watching());
    EXPECT_EQ(port.written.size(), expected.size()) << "nothing is sent after completion";
}

TEST_F(UpdateTransferTest, ServesRequestSplitAcrossNotifications) {
    const Bytes image = start(1000);
    port.deliver({0xAA});
    EXPECT_EQ(port.written.size(), 4u);
    EXPECT_EQ(update.pendingBytes(), (Bytes{0xAA}));
    port.deliver({0x02});
    EXPECT_EQ(Bytes(port.written.begin() + 4, port.written.end()), frameFor(image, 2));
    EXPECT_TRUE(update.pendingBytes().empty());
}

TEST_F(UpdateTransferTest, PageZeroShowsGuidanceBeforeEmptyingBufferAndSendsNothing) {
    start(1000);
    std::optional<Bytes> bufferWhileShown;
    std::string statusWhileShown;
    window.whileBoxOpen = [&](const ShownBox&) {
        bufferWhileShown = update.pendingBytes();
        statusWhileShown = window.status;
    };
    port.deliver({0xAA, 0x00});

    EXPECT_EQ(statusWhileShown, "Transferring page 000 ...");
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Please start from page 1");
    EXPECT_EQ(window.boxes[0].icon, Icon::Information);
    EXPECT_EQ(bufferWhileShown, (Bytes{0xAA, 0x00}));
    EXPECT_TRUE(update.pendingBytes().empty());
    EXPECT_EQ(port.written.size(), 4u) << "only the header";
}

TEST_F(UpdateTransferTest, RecognisesCompletionOnlyAsLoneByteInEmptyBuffer) {
    struct Case {
        const char* name;
        std::vector<Bytes> arrivals;
        bool completes;
    };
    const std::vector<Case> cases = {
        {"alone", {{0x55}}, true},
        {"after a served request", {{0xAA, 0x01}, {0x55}}, true},
        {"burst behind a request", {{0xAA, 0x03, 0x55}}, false},
        {"behind an unconsumed byte", {{0x10}, {0x55}}, false},
        {"two of them", {{0x55, 0x55}}, false},
        {"behind half a request", {{0xAA}, {0x55}}, false},
    };
    for (const Case& c : cases) {
        port.clearRecord();
        window.boxes.clear();
        start(1000);
        for (const Bytes& bytes : c.arrivals)
            port.deliver(bytes);
        EXPECT_EQ(!port.isOpen(), c.completes) << c.name;
        EXPECT_EQ(window.boxes.size(), c.completes ? 1u : 0u) << c.name;
    }
}

TEST_F(UpdateTransferTest, BurstServesPageAndDiscardsTheRest) {
    const Bytes image = start(1000);
    port.deliver({0xAA, 0x03, 0x55});
    EXPECT_EQ(Bytes(port.written.begin() + 4, port.written.end()), frameFor(image, 3));
    EXPECT_TRUE(update.pendingBytes().empty());
    EXPECT_TRUE(port.isOpen());
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(UpdateTransferTest, ServesPagesInAnyOrderAndBeyondTheImage) {
    const Bytes image = start(300);
    const std::vector<int> pages = {2, 1, 2, 9, 255};
    Bytes expected(port.written);
    for (int page : pages) {
        port.deliver({0xAA, static_cast<std::uint8_t>(page)});
        const Bytes frame = frameFor(image, page);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(port.written, expected);
    EXPECT_EQ(frameFor(image, 9), (Bytes{0x00, 0x00}));
}

TEST_F(UpdateTransferTest, RequestArrivingWhileOneIsHandledIsServedOnceAfterIt) {
    const Bytes image = start(1000);
    // The page-zero box runs a modal loop in which the device's next request
    // arrives: it must neither be lost nor make page 0's handler serve twice.
    window.whileBoxOpen = [&](const ShownBox&) { port.deliver({0xAA, 0x01}); };
    port.deliver({0xAA, 0x00});
    EXPECT_EQ(Bytes(port.written.begin() + 4, port.written.end()), frameFor(image, 1));
    EXPECT_EQ(window.statuses.back(), "Transferring page 001 ...");
    EXPECT_EQ(port.waiting(), 0u);

    window.whileBoxOpen = nullptr;
    port.deliver({0x55});
    EXPECT_FALSE(port.isOpen());
}

TEST_F(UpdateTransferTest, StrayBytesAreDroppedUpToTheNextRequestMark) {
    struct Case {
        const char* name;
        std::vector<Bytes> arrivals;
        std::vector<int> served;  // pages whose frames go out, in order
        std::vector<std::string> boxes;
        Bytes left;  // RxBuffer afterwards
    };
    const Bytes flood(300, 0x00);
    const std::vector<Case> cases = {
        {"one stray byte before a request", {{0x00, 0xAA, 0x01}}, {1}, {}, {}},
        {"stray byte split from the request", {{0x00}, {0xAA}, {0x02}}, {2}, {}, {}},
        {"several stray bytes", {{0x01, 0x02}, {0x03, 0x04, 0xAA, 0x03}}, {3}, {}, {}},
        {"stray byte before completion", {{0x00, 0x55}}, {}, {}, {}},
        {"stray byte, then completion alone", {{0x00}, {0x55}}, {}, {}, {}},
        {"the buffer emptied, then completion alone",
         {{0x00, 0x55}, {0x55}},
         {},
         {"Transfert Complete"},
         {}},
        {"stray bytes, then page 0",
         {{0x10, 0x20}, {0xAA, 0x00}},
         {},
         {"Please start from page 1"},
         {}},
        {"a flood with no request mark", {flood, flood}, {}, {}, {}},
        {"a flood, then a request", {flood, {0xAA, 0x01}}, {1}, {}, {}},
        {"a lone stray byte waits", {{0x10}}, {}, {}, {0x10}},
        {"stray bytes, then half a request", {{0x10, 0x20, 0xAA}}, {}, {}, {0xAA}},
        // As after any request, whatever follows it in the buffer goes too.
        {"two requests behind a stray byte", {{0x00, 0xAA, 0x01, 0xAA, 0x02}}, {1}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.boxes.clear();
        port.clearRecord();
        const Bytes image = start(1000);
        for (const Bytes& bytes : c.arrivals) {
            clock.advance(10ms);
            port.deliver(bytes);
            if (port.isOpen()) {
                EXPECT_EQ(update.lastActivity(), clock.now()) << "every arrival re-arms the watch";
            }
        }
        Bytes expected = buildHeaderFrame(4);
        for (int page : c.served) {
            const Bytes frame = frameFor(image, page);
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(port.written, expected);
        EXPECT_EQ(window.boxTexts(), c.boxes);
        EXPECT_EQ(update.pendingBytes(), c.left);
    }
}

TEST_F(UpdateTransferTest, SilentlyIgnoresEmptyMissingAndNonRegularPaths) {
    for (const std::string& path : {std::string(), files.path() + "/none.bin", files.path()}) {
        update.start(path);
        EXPECT_TRUE(port.log.empty()) << path;
        EXPECT_TRUE(window.boxes.empty()) << path;
    }
    window.chosenFile = "";
    update.runUpdateCommand();
    EXPECT_EQ(window.dialogFilter, std::optional<std::string>("OXU bin Files (*.bin)|*.bin"));
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(port.log.empty());
}

TEST_F(UpdateTransferTest, FailedStartsShowOneWarningAndWriteNothing) {
    struct Case {
        const char* name;
        std::function<std::string()> prepare;  // returns the path to choose
        const char* expectedText;
        bool portOpenedBefore;
    };
    const std::vector<Case> cases = {
        {"too many pages", [&] { return files.file("big.bin", Bytes(65'281, 1)); },
         "The firmware image has 256 pages; at most 255 (65,280 bytes) can be sent.", true},
        {"unreadable file",
         [&] {
             const std::string path = files.file("locked.bin", Bytes(10, 1));
             ::chmod(path.c_str(), 0);
             // Root opens anything; /proc/self/mem opens but fails at the
             // first read, standing in for a read that fails.
             return ::geteuid() == 0 ? std::string("/proc/self/mem") : path;
         },
         "Cannot read the firmware file", true},
        {"port busy",
         [&] {
             port.openFailure = "Cannot open COM 1 (/dev/ttyUSB0): the port is in use";
             return files.file("ok.bin", Bytes(10, 1));
         },
         "Cannot open COM 1 (/dev/ttyUSB0): the port is in use", false},
        {"port text not a number",
         [&] {
             window.port = "abc";
             return files.file("ok.bin", Bytes(10, 1));
         },
         "The port \"abc\" is not a port number.", true},
    };
    for (const Case& c : cases) {
        window.boxes.clear();
        window.port = "1";
        port.openFailure.clear();
        port.forceOpen();  // a previous command left it open
        window.chosenFile = c.prepare();
        update.runUpdateCommand();
        ASSERT_EQ(window.boxes.size(), 1u) << c.name;
        EXPECT_NE(window.boxes[0].text.find(c.expectedText), std::string::npos)
            << c.name << ": " << window.boxes[0].text;
        EXPECT_EQ(window.boxes[0].icon, Icon::Warning) << c.name;
        EXPECT_EQ(window.boxes[0].title, std::optional<std::string>("OXU Updater")) << c.name;
        EXPECT_TRUE(port.written.empty()) << c.name;
        EXPECT_FALSE(port.isOpen()) << c.name;
    }
}

TEST_F(UpdateTransferTest, RestartWhileRunningSendsNewHeaderAndServesNewImage) {
    start(1000);
    port.deliver({0xAA, 0x01});
    port.clearRecord();

    Bytes second = patterned(300);
    std::reverse(second.begin(), second.end());
    update.start(files.file("second.bin", second));
    EXPECT_EQ(port.log,
              (std::vector<std::string>{"close", "port 1", "settings 38400,n,8,1", "open"}));
    EXPECT_EQ(port.written, (Bytes{0xAA, 0x02, 0x00, 0xAC}));
    EXPECT_TRUE(update.awaitingFirstReply());
    port.deliver({0xAA, 0x02});
    EXPECT_EQ(Bytes(port.written.begin() + 4, port.written.end()), frameFor(second, 2));
}

TEST_F(UpdateTransferTest, ImageIsTheOneReadAtStart) {
    const Bytes image = start(600);
    files.file("image.bin", Bytes(600, 0xEE));  // rewritten on disk mid-update
    port.deliver({0xAA, 0x01});
    EXPECT_EQ(Bytes(port.written.begin() + 4, port.written.end()), frameFor(image, 1));
}

TEST_F(UpdateTransferTest, LostPortIsReportedOnceAndUpdateCanStartAgain) {
    start(1000);
    port.deliver({0xAA, 0x01});
    port.loseLine("The connection to COM 1 (/dev/pts/9) was lost: the device was disconnected.");
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].icon, Icon::Warning);
    EXPECT_FALSE(update.watching());

    clock.advance(5s);
    update.tick();
    EXPECT_EQ(window.boxes.size(), 1u) << "no watchdog report on top of the lost port";

    const Bytes image = start(300);
    port.deliver({0xAA, 0x01});
    port.deliver({0x55});
    EXPECT_EQ(window.boxTexts().back(), "Transfert Complete");
}

TEST_F(UpdateTransferTest, WriteFailureMidUpdateIsReportedOnceAndReleasesPort) {
    start(1000);
    port.writeFailure = "Cannot write to COM 1 (/dev/pts/9): Input/output error";
    port.deliver({0xAA, 0x01});
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, port.writeFailure);
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(update.watching());
}

TEST_F(UpdateTransferTest, HeaderWriteFailureLeavesWatchdogArmed) {
    port.writeFailure = "Cannot write to COM 1: Input/output error";
    window.chosenFile = files.file("image.bin", patterned(100));
    update.runUpdateCommand();
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_TRUE(update.awaitingFirstReply());
    clock.advance(1001ms);
    update.tick();
    EXPECT_EQ(window.boxTexts().back(), "Connection Failed");
}

TEST(TransferStatusText, PadsPageToThreeDigits) {
    EXPECT_EQ(transferStatusText(0), "Transferring page 000 ...");
    EXPECT_EQ(transferStatusText(7), "Transferring page 007 ...");
    EXPECT_EQ(transferStatusText(255), "Transferring page 255 ...");
}

}  // namespace
}  // namespace oxu
