#include "cli/terminal_window.h"

#include <gtest/gtest.h>

#include <sstream>

#include "protocol/update_transfer.h"

namespace oxu::cli {
namespace {

TEST(TerminalWindow, OffersThePortAndBaudOfTheCommandLine) {
    std::ostringstream err;
    EXPECT_EQ(TerminalWindow(7, 19200, err).portText(), "7");
    EXPECT_EQ(TerminalWindow(1, 9600, err).selectedBaud(), BaudOption::Option2);
    EXPECT_EQ(TerminalWindow(1, 19200, err).selectedBaud(), BaudOption::Option3);
    EXPECT_EQ(TerminalWindow(1, 38400, err).selectedBaud(), BaudOption::Option4);
    EXPECT_EQ(baudOptionFor(115200), BaudOption::None);
}

TEST(TerminalWindow, PrintsEachMessageBoxAsOneLine) {
    std::ostringstream err;
    TerminalWindow window(1, 38400, err);
    EXPECT_EQ(
        window.messageBox(kTransferCompleteText, Buttons::Ok, Icon::Information, kWindowTitle),
        Answer::Ok);
    EXPECT_EQ(err.str(), "oxu-update: Transfert Complete\n");
}

TEST(TerminalWindow, AnswersQuestionsThroughTheAskerAndNoWithoutOne) {
    std::ostringstream err;
    TerminalWindow silent(1, 38400, err);
    EXPECT_EQ(silent.messageBox("Send?", Buttons::YesNo, Icon::Question, kWindowTitle), Answer::No);

    std::string asked;
    TerminalWindow asking(1, 38400, err, [&](const std::string& question) {
        asked = question;
        return Answer::Yes;
    });
    EXPECT_EQ(asking.messageBox("Send?", Buttons::YesNo, Icon::Question, kWindowTitle),
              Answer::Yes);
    EXPECT_EQ(asked, "Send?");
    EXPECT_EQ(err.str(), "");
}

}  // namespace
}  // namespace oxu::cli
