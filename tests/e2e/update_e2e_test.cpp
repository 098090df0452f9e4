// Whole updates through the window and the real serial layer, against the
// simulated device on a pseudo-terminal: every byte the device receives is
// compared with the firmware file.

#include <QRadioButton>

#include "tests/e2e/window_rig.h"

namespace oxu::testkit {
namespace {

using UpdateEndToEnd = WindowRig;

TEST_F(UpdateEndToEnd, TransfersImagesByteExactInEveryOrder) {
    struct Case {
        std::size_t size;
        std::vector<std::string> flags;
    };
    const std::vector<Case> cases = {
        {0, {}},
        {1, {}},
        {300, {}},
        {65'280, {}},
        {65'280, {"--order", "reverse"}},
        {20'000, {"--order", "random", "--seed", "7"}},
        {3'000, {"--order", "repeat"}},
        {3'000, {"--split"}},
        {1'000, {"--extra-pages", "3"}},
        {1'000, {"--retry-bad-checksum"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes " + ::testing::PrintToString(c.flags));
        expectUpdateCompletes(c.size, c.flags);
    }
    EXPECT_EQ(boxCount("Transfert Complete"), static_cast<int>(cases.size()));
    EXPECT_EQ(form->boxes.size(), cases.size()) << "no other box";
}

TEST_F(UpdateEndToEnd, StatusLineShowsEachPageWhileTransferring) {
    expectUpdateCompletes(3 * 256 + 5);
    const std::vector<std::string> progress(form->statuses.begin(), form->statuses.end() - 1);
    EXPECT_EQ(progress,
              (std::vector<std::string>{"Transferring page 001 ...", "Transferring page 002 ...",
                                        "Transferring page 003 ...", "Transferring page 004 ..."}));
    EXPECT_EQ(form->statuses.back(), "");
}

TEST_F(UpdateEndToEnd, PageZeroIsAnsweredWithGuidanceThenUpdateCompletes) {
    expectUpdateCompletes(2'000, {"--page-zero"});
    EXPECT_EQ(form->boxTexts(),
              (std::vector<std::string>{"Please start from page 1", "Transfert Complete"}));
}

TEST_F(UpdateEndToEnd, CompletionInBurstIsNotTakenForCompletion) {
    const std::string image = writeImage("burst.bin", 1'000);
    DeviceSim& device = startDevice({"--image-size", "1000", "--burst", "--timeout", "3"});
    pressUpdate(image);
    // The 0x55 behind the last request is discarded with it: the device then
    // waits, and the watchdog reports the silence.
    EXPECT_TRUE(waitForBox("Transfer Interrupted"));
    EXPECT_EQ(boxCount("Transfert Complete"), 0);
    const ProgramResult result = finishDevice(device);
    EXPECT_EQ(result.exitCode, 1) << result.out;
    expectUpdateCompletes();
}

TEST_F(UpdateEndToEnd, DownloadCommandReachesDeviceWhole) {
    struct Case {
        QRadioButton* option;
        std::string settings;
    };
    for (const Case& c : {Case{form->Option3, "19200,n,8,1"}, Case{form->Option2, "9600,n,8,1"},
                          Case{form->Option4, "38400,n,8,1"}}) {
        DeviceSim& device = startDevice({"--expect-download", "--timeout", "5"});
        c.option->click();
        form->answers.push_back(Answer::Yes);
        form->Command3->click();
        const ProgramResult result = finishDevice(device);
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_NE(result.out.find("download: ok bytes=2f55aa"), std::string::npos) << result.out;
        EXPECT_NE(findLine(result.out, "download:").find("settings=" + c.settings),
                  std::string::npos)
            << result.out;
        EXPECT_FALSE(portOpen());
    }
    EXPECT_EQ(form->boxes.size(), 3u) << "only the three questions";
}

}  // namespace
}  // namespace oxu::testkit
