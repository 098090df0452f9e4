#include "cli/terminal_window.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/firmware_check.h"
#include "cli/tests/fake_clock.h"
#include "protocol/update_transfer.h"

namespace oxu::cli {
namespace {

TEST(TerminalWindow, OffersThePortAndBaudOfTheCommandLine) {
    std::ostringstream err;
    EXPECT_EQ(TerminalWindow(7, 19200, err).portText(), "7");
    EXPECT_EQ(TerminalWindow(1, 9600, err).selectedBaud(), BaudOption::Option2_9600);
    EXPECT_EQ(TerminalWindow(1, 19200, err).selectedBaud(), BaudOption::Option3_19200);
    EXPECT_EQ(TerminalWindow(1, 38400, err).selectedBaud(), BaudOption::Option4_38400);
    EXPECT_EQ(baudOptionFor(115200), BaudOption::None);
}

TEST(TerminalWindow, PrintsEachMessageBoxAsOneLineBelowTheProgress) {
    std::ostringstream err;
    std::ostringstream progressOut;
    test::FakeClock clock;
    ProgressDisplay progress(progressOut, true, clock, {}, 256);
    TerminalWindow window(1, 38400, err);
    window.attachProgress(&progress);
    std::vector<std::string> hooked;
    window.setMessageHook([&](const std::string& text, Icon) { hooked.push_back(text); });

    window.setStatus(transferStatusText(1));
    EXPECT_EQ(
        window.messageBox(kTransferCompleteText, Buttons::Ok, Icon::Information, kWindowTitle),
        Answer::Ok);
    EXPECT_EQ(err.str(), "oxu-update: Transfert Complete\n");
    EXPECT_EQ(progressOut.str().back(), '\n') << "the progress line must end before a message";
    EXPECT_EQ(hooked, std::vector<std::string>{kTransferCompleteText});
    EXPECT_EQ(window.messages(), std::vector<std::string>{kTransferCompleteText});
}

TEST(TerminalWindow, AnswersQuestionsThroughTheAskerAndNoWithoutOne) {
    std::ostringstream err;
    TerminalWindow silent(1, 38400, err);
    EXPECT_EQ(silent.messageBox("Send?", Buttons::YesNo, Icon::Question, kWindowTitle), Answer::No);
    EXPECT_EQ(silent.lastAnswer(), Answer::No);

    std::string asked;
    TerminalWindow asking(1, 38400, err, [&](const std::string& question) {
        asked = question;
        return Answer::Yes;
    });
    EXPECT_EQ(asking.messageBox("Send?", Buttons::YesNo, Icon::Question, kWindowTitle),
              Answer::Yes);
    EXPECT_EQ(asked, "Send?");
    EXPECT_TRUE(asking.messages().empty()) << "a question is not a message";
    EXPECT_EQ(err.str(), "");
}

TEST(TerminalWindow, TheFileDialogReturnsTheFileOfTheCommandLine) {
    std::ostringstream err;
    TerminalWindow window(1, 38400, err);
    window.setChosenFile("fw.bin");
    EXPECT_EQ(window.chooseFile(kFirmwareFilter), "fw.bin");
    bool ended = false;
    window.setEndHook([&] { ended = true; });
    window.endProgram();
    EXPECT_TRUE(ended);
}

class FirmwareCheckTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("oxu-cli-check-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string makeFile(const std::string& name, std::size_t size) {
        const auto path = m_dir / name;
        std::ofstream(path, std::ios::binary) << std::string(size, '\x5A');
        return path.string();
    }

    std::filesystem::path m_dir;
};

TEST_F(FirmwareCheckTest, AcceptsEverySizeTheHeaderCanAnnounce) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65'280}}) {
        const FirmwareCheck check = checkFirmwareFile(makeFile("ok.bin", size));
        EXPECT_TRUE(check.ok()) << size << ": " << check.problem;
        EXPECT_EQ(check.size, size);
    }
}

TEST_F(FirmwareCheckTest, NamesTheFileAndTheReasonForEachBadFile) {
    struct Case {
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {makeFile("big.bin", 65'281), "holds 65281 bytes; at most 65280"},
        {(m_dir / "missing.bin").string(), "does not exist"},
        {m_dir.string(), "is not a regular file"},
    };
    for (const Case& c : cases) {
        const FirmwareCheck check = checkFirmwareFile(c.path);
        EXPECT_NE(check.problem.find(c.reason), std::string::npos) << check.problem;
        EXPECT_NE(check.problem.find(c.path), std::string::npos) << check.problem;
    }
}

}  // namespace
}  // namespace oxu::cli
