#include "protocol/download_command.h"

#include <gtest/gtest.h>

#include "tests/kit/fakes.h"

namespace oxu {
namespace {

using testkit::FakePort;
using testkit::FakeWindow;

TEST(DownloadCommand, NoWritesNothingAndLeavesPortAsItWas) {
    FakePort port;
    FakeWindow window;
    port.forceOpen();
    window.answers = {Answer::No};
    runDownloadCommand(port, window);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Do you want to send the Download Command?");
    EXPECT_EQ(window.boxes[0].buttons, Buttons::YesNo);
    EXPECT_EQ(window.boxes[0].icon, Icon::Question);
    EXPECT_EQ(window.boxes[0].title, std::optional<std::string>("OXU Updater"));
    EXPECT_TRUE(port.log.empty());
    EXPECT_TRUE(port.isOpen());
}

TEST(DownloadCommand, YesSendsThreeBytesInOneWriteAndCloses) {
    struct Case {
        BaudOption baud;
        std::string settings;
    };
    for (const Case& c :
         {Case{BaudOption::Option2, "9600,n,8,1"}, Case{BaudOption::Option3, "19200,n,8,1"},
          Case{BaudOption::Option4, "38400,n,8,1"}, Case{BaudOption::None, "38400,n,8,1"}}) {
        FakePort port;
        FakeWindow window;
        port.forceOpen();
        window.port = "16";
        window.baud = c.baud;
        runDownloadCommand(port, window);
        std::vector<std::string> expectedLog = {"close", "port 16"};
        if (c.baud != BaudOption::None)
            expectedLog.push_back("settings " + c.settings);
        expectedLog.insert(expectedLog.end(), {"open", "close"});
        EXPECT_EQ(port.log, expectedLog);
        EXPECT_EQ(port.lineSettings, c.settings);
        EXPECT_EQ(port.writes, (std::vector<Bytes>{{0x2F, 0x55, 0xAA}}));
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(window.boxes.size(), 1u) << "only the question";
    }
}

TEST(DownloadCommand, FailureShowsItsDescriptionWithoutIconUnderApplicationTitle) {
    struct Case {
        const char* name;
        std::string portText;
        std::string openFailure;
        std::string writeFailure;
        std::string expected;
        bool leftOpen;
    };
    const std::vector<Case> cases = {
        {"port busy", "1", "Cannot open COM 1 (/dev/ttyUSB0): in use", "",
         "Cannot open COM 1 (/dev/ttyUSB0): in use", false},
        {"write fails", "1", "", "Cannot write to COM 1: Input/output error",
         "Cannot write to COM 1: Input/output error", true},
        {"port text not a number", "x", "", "", "The port \"x\" is not a port number.", false},
    };
    for (const Case& c : cases) {
        FakePort port;
        FakeWindow window;
        window.port = c.portText;
        port.openFailure = c.openFailure;
        port.writeFailure = c.writeFailure;
        runDownloadCommand(port, window);
        ASSERT_EQ(window.boxes.size(), 2u) << c.name;
        EXPECT_EQ(window.boxes[1].text, c.expected) << c.name;
        EXPECT_EQ(window.boxes[1].icon, Icon::None) << c.name;
        EXPECT_EQ(window.boxes[1].title, std::nullopt) << c.name;
        EXPECT_EQ(port.isOpen(), c.leftOpen) << c.name;
    }
}

}  // namespace
}  // namespace oxu

namespace oxu {
namespace {

TEST(DownloadCommand, PortLeftOnDeadLineIsReleasedAndCommandGoesOn) {
    testkit::FakePort port;
    testkit::FakeWindow window;
    port.forceOpen();
    port.closeFailure = "Could not finish sending to COM 1 before closing it";
    runDownloadCommand(port, window);
    // The leftover port's close fails; so does the command's own close, which
    // must be reported since its 3 bytes may not have gone out.
    ASSERT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(port.writes, (std::vector<Bytes>{{0x2F, 0x55, 0xAA}}));
    EXPECT_EQ(window.boxes[1].text, port.closeFailure);
    EXPECT_FALSE(port.isOpen());
}

}  // namespace
}  // namespace oxu
