#include "cli/gang_display.h"

#include <gtest/gtest.h>

#include <sstream>

#include "runs/report.h"
#include "tests/kit/fakes.h"

namespace oxu::cli {
namespace {

using namespace std::chrono_literals;
using namespace runs;

TEST(FormatPortLine, ShowsPortPagesShareRateAndState) {
    struct Case {
        PortLine line;
        std::string expected;
    };
    const Case cases[] = {
        {{3, 17, 160, 4'386, 1s, "sending to /dev/ttyUSB0"},
         "COM  3  page 017/160  10%    4.4 kB/s  sending to /dev/ttyUSB0"},
        {{16, 0, 4, 4, 10ms, "sending"}, "COM 16  page 000/004   0%      -- B/s  sending"},
        // A device may ask for pages past the image; the share stops at 100%.
        {{1, 6, 4, 1'000, 2s, ""}, "COM  1  page 006/004 100%     500 B/s"},
        {{2, 0, 0, 4, 1s, "complete"}, "COM  2  page 000/000   0%       4 B/s  complete"},
        // No attempt on the port: the state alone, whatever came before.
        {{3, 17, 160, 4'386, 1s, "waiting for a board", true}, "COM  3  waiting for a board"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatPortLine(c.line), c.expected);
}

TEST(FormatAdapter, ShowsWhatIsKnown) {
    EXPECT_EQ(formatAdapter({}), "-");
    EXPECT_EQ(formatAdapter({.vendorId = 0x1a86, .productId = 0x7523}), "1a86:7523");
    EXPECT_EQ(formatAdapter({.serialNumber = "0001"}), "0001");
}

TEST(GangDisplay, WithoutATerminalEveryEventIsALineNamingItsPort) {
    testkit::FakeClock clock;
    std::ostringstream progress, messages;
    GangDisplay display(progress, messages, false, 80, clock, {3, 7});
    display.startAttempt(0, 160);
    display.startAttempt(1, 160);
    display.showState(1, "sending to /dev/pts/9");
    display.showPage(0, 17, 4'386);
    display.showPage(1, 1, 262);
    display.showMessage("oxu-update: COM 7: connection failed");
    display.endAttempt(0, "complete");
    display.refresh();
    display.finish();
    EXPECT_EQ(progress.str(),
              "COM 7: sending to /dev/pts/9\n"
              "COM 3: page 017/160\n"
              "COM 7: page 001/160\n"
              "COM 3: complete\n");
    EXPECT_EQ(messages.str(), "oxu-update: COM 7: connection failed\n");
}

TEST(GangDisplay, OnATerminalMessagesGoAboveTheLinesOfThePorts) {
    testkit::FakeClock clock;
    std::ostringstream screen, unused;
    GangDisplay display(screen, unused, true, 42, clock, {1, 2});
    display.startAttempt(0, 4);
    display.startAttempt(1, 4);
    display.showState(0, "sending");
    screen.str("");
    display.showMessage("oxu-update: COM 2: connection failed");
    const std::string drawn = screen.str();
    // Up over the two lines, erase them, the message, then both lines again,
    // each cut to the width of the terminal.
    EXPECT_EQ(drawn.rfind("\x1b[2A\r\x1b[Joxu-update: COM 2: connection failed\n", 0), 0u) << drawn;
    EXPECT_NE(drawn.find("\nCOM  1  page 000/004   0%      -- B/s  se\x1b[K\n"), std::string::npos)
        << drawn;
    EXPECT_NE(drawn.find("\nCOM  2  page 000/004   0%      -- B/s\x1b[K\n"), std::string::npos)
        << drawn;
    EXPECT_EQ(unused.str(), "");

    // A page moves a line only when the redraw interval has passed.
    display.refresh();
    screen.str("");
    display.showPage(1, 2, 520);
    display.refresh();
    EXPECT_EQ(screen.str(), "");
    clock.advance(GangDisplay::kRedrawInterval);
    display.refresh();
    EXPECT_NE(screen.str().find("\x1b[1A\rCOM  2  page 002/004  50%"), std::string::npos)
        << screen.str();
}

}  // namespace
}  // namespace oxu::cli
