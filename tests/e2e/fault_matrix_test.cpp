// What the operator sees when the device, the line, the port or the file
// misbehaves, end to end. Each case checks the message, that nothing sent was
// corrupted, that the port was released, and that the same process can then
// run a whole update.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "kit/child_process.h"
#include "kit/pty.h"
#include "protocol/frames.h"
#include "tests/e2e/window_rig.h"

namespace oxu::testkit {
namespace {

using FaultMatrix = WindowRig;

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(FaultMatrix, SilentDeviceGivesConnectionFailedOnce) {
    DeviceSim& device = startDevice({"--silent", "--timeout", "3"});
    pressUpdate(writeImage("image.bin", 1'000));
    EXPECT_TRUE(waitForBox("Connection Failed"));
    spinFor(1500ms);
    EXPECT_EQ(form->boxTexts(), std::vector<std::string>{"Connection Failed"});
    EXPECT_TRUE(portOpen()) << "the port stays open for a device that may still answer";
    device.stop();
    expectUpdateCompletes();
}

TEST_F(FaultMatrix, DeviceSilentAfterSomePagesGivesTransferInterruptedOnce) {
    DeviceSim& device =
        startDevice({"--image-size", "3000", "--stop-after", "4", "--timeout", "3"});
    pressUpdate(writeImage("image.bin", 3'000));
    EXPECT_TRUE(waitForBox("Transfer Interrupted"));
    spinFor(1500ms);
    EXPECT_EQ(form->boxTexts(), std::vector<std::string>{"Transfer Interrupted"});
    EXPECT_EQ(form->Label2->text().toStdString(), "Transferring page 004 ...");
    device.stop();
    expectUpdateCompletes();
}

TEST_F(FaultMatrix, DeviceSpeakingAgainAfterTimeoutCompletesUpdate) {
    const std::string image = writeImage("image.bin", 3'000);
    DeviceSim& device = startDevice({"--image-size", "3000", "--stop-after", "3", "--resume-after",
                                     "2", "--save", image + ".received"});
    pressUpdate(image);
    EXPECT_TRUE(waitForBox("Transfert Complete", 15s));
    EXPECT_EQ(form->boxTexts(),
              (std::vector<std::string>{"Transfer Interrupted", "Transfert Complete"}));
    const ProgramResult result = finishDevice(device);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_EQ(readFile(image + ".received"), readFile(image));
    EXPECT_FALSE(portOpen());
}

TEST_F(FaultMatrix, AdapterUnpluggedBetweenPagesIsReportedOnce) {
    DeviceSim& device = startDevice({"--image-size", "5000", "--hangup-after", "3"});
    pressUpdate(writeImage("image.bin", 5'000));
    ASSERT_TRUE(spinUntil([&] { return !form->boxes.empty(); }, 10s));
    spinFor(1500ms);
    ASSERT_EQ(form->boxes.size(), 1u) << ::testing::PrintToString(form->boxTexts());
    EXPECT_NE(form->boxes[0].text.find("was lost"), std::string::npos) << form->boxes[0].text;
    EXPECT_EQ(form->boxes[0].icon, Icon::Warning);
    EXPECT_FALSE(portOpen());
    finishDevice(device);
    expectUpdateCompletes();
}

TEST_F(FaultMatrix, AdapterUnpluggedMidPageIsReportedOnceAndLeavesCpuIdle) {
    // A device that asks for page 1 and disappears while the page is on its way.
    const kit::PtyEnds pty = kit::openRawPty(kit::MasterMode::NonBlocking);
    const int master = pty.master;
    ::close(pty.slave);
    ::setenv("OXU_COM1", pty.slavePath.c_str(), 1);

    pressUpdate(writeImage("image.bin", 5'000));
    std::uint8_t header[4] = {};
    ASSERT_TRUE(spinUntil([&] { return ::read(master, header, 4) == 4; }, 5s));
    const std::uint8_t request[2] = {kFrameMark, 1};
    ASSERT_EQ(::write(master, request, 2), 2);
    std::uint8_t part[100];
    ASSERT_TRUE(spinUntil([&] { return ::read(master, part, sizeof part) > 0; }, 5s));
    ::close(master);

    ASSERT_TRUE(spinUntil([&] { return !form->boxes.empty(); }, 5s));
    const double before = cpuSeconds();
    spinFor(2s);
    const double used = cpuSeconds() - before;
    EXPECT_LT(used, 0.1) << "CPU seconds in the 2 s after the loss";
    ASSERT_EQ(form->boxes.size(), 1u) << ::testing::PrintToString(form->boxTexts());
    EXPECT_NE(form->boxes[0].text.find("was lost"), std::string::npos) << form->boxes[0].text;
    EXPECT_FALSE(portOpen());
    expectUpdateCompletes();
}

TEST_F(FaultMatrix, PortHeldByAnotherUpdaterIsReportedAsInUse) {
    // Another instance holds the port (with the lock every Qt program takes).
    DeviceSim& device = startDevice({"--silent", "--timeout", "30"});
    const std::string image = writeImage("image.bin", 1'000);
    ChildProcess holder(OXU_UPDATE_BINARY, {"--port", "1", "--timeout", "30", image});
    ASSERT_TRUE(
        holder.waitForOutput(ChildProcess::Stream::Err, "oxu-update: connection failed", 10s))
        << holder.output(ChildProcess::Stream::Err);

    pressUpdate(image);
    ASSERT_EQ(form->boxes.size(), 1u);
    EXPECT_NE(form->boxes[0].text.find("in use by another program"), std::string::npos)
        << form->boxes[0].text;
    EXPECT_NE(form->boxes[0].text.find("COM 1"), std::string::npos) << form->boxes[0].text;
    EXPECT_EQ(form->boxes[0].icon, Icon::Warning);
    EXPECT_FALSE(portOpen());

    holder.sendSignal(SIGINT);
    EXPECT_EQ(holder.finish(10s).exitCode, 130);
    device.stop();
    expectUpdateCompletes();
}

TEST_F(FaultMatrix, PortHeldExclusivelyRefusesAnotherUser) {
    // A program holding the port with TIOCEXCL and no lock file. Root passes
    // through that lock, so the second opener runs as an ordinary user.
    if (::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "setpriv is not installed";
    DeviceSim& device = startDevice({"--silent", "--timeout", "30"});
    const int held = ::open(device.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::ioctl(held, TIOCEXCL), 0);
    ::chmod(device.path().c_str(), 0666);
    const std::string image = writeImage("image.bin", 1'000);
    ::chmod(files.path().c_str(), 0755);

    const ProgramResult result =
        runProgram("/usr/bin/setpriv",
                   {"--reuid=nobody", "--regid=nogroup", "--clear-groups", OXU_UPDATE_BINARY,
                    "--device", device.path(), "--timeout", "2", image},
                   {}, 20s);
    ::close(held);
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("in use by another program"), std::string::npos) << result.err;
    device.stop();
    expectUpdateCompletes();
}

TEST_F(FaultMatrix, PortOpenedElsewhereWithoutLockDoesNotStopUpdate) {
    // Nothing can tell that a program without a lock has the port open too;
    // as long as it does not read, the update goes through.
    const std::string image = writeImage("image.bin", 2'000);
    DeviceSim& device = startDevice({"--image-size", "2000", "--save", image + ".received"});
    const int other = ::open(device.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    pressUpdate(image);
    EXPECT_TRUE(waitForBox("Transfert Complete"));
    ::close(other);
    EXPECT_EQ(finishDevice(device).exitCode, 0);
    EXPECT_EQ(readFile(image + ".received"), readFile(image));
}

TEST_F(FaultMatrix, StrayBytesBeforeTheFirstRequestHoldUpNothing) {
    // Noise at power-up: the bytes are dropped and the request behind them
    // served, by the window, by the window as a program, and by oxu-update.
    enum class FrontEnd { Window, WindowProgram, Tool };
    const struct {
        FrontEnd frontEnd;
        const char* strayBytes;
    } cases[] = {
        {FrontEnd::Window, "1"},
        {FrontEnd::Window, "5"},
        {FrontEnd::WindowProgram, "1"},
        {FrontEnd::Tool, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "front end " << static_cast<int>(c.frontEnd) << ", "
                                          << c.strayBytes << " stray bytes");
        if (c.frontEnd == FrontEnd::Window) {
            expectUpdateCompletes(3'000, {"--garbage", c.strayBytes});
            continue;
        }
        const std::string image = writeImage("image.bin", 3'000);
        DeviceSim& device = startDevice({"--image-size", "3000", "--garbage", c.strayBytes,
                                         "--save", image + ".received", "--timeout", "5"});
        if (c.frontEnd == FrontEnd::WindowProgram) {
            ChildProcess window(OXU_UPDATER_SCRIPTED, {}, {{"QT_QPA_PLATFORM", "offscreen"}},
                                ChildProcess::Input::Pipe);
            window.writeInput("file " + image + "\nclick Command2\n");
            EXPECT_TRUE(window.waitForOutput(ChildProcess::Stream::Out,
                                             "box information OXU Updater|Transfert Complete", 20s))
                << window.output(ChildProcess::Stream::Out);
            window.writeInput("click Command1\n");
            EXPECT_EQ(window.finish(10s).exitCode, 0);
        } else {
            const ProgramResult run =
                runProgram(OXU_UPDATE_BINARY, {"--device", device.path(), "--timeout", "5", image});
            EXPECT_EQ(run.exitCode, 0) << run.err;
        }
        EXPECT_EQ(finishDevice(device).exitCode, 0);
        EXPECT_EQ(readFile(image + ".received"), readFile(image));
    }
}

TEST_F(FaultMatrix, FirmwareFilesThatCannotBeSentAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char* name;
        std::string path;
        std::string message;  // empty: nothing visible happens
    };
    const std::string directory = files.path() + "/folder.bin";
    ::mkdir(directory.c_str(), 0755);
    const std::vector<Case> cases = {
        {"missing", files.path() + "/missing.bin", ""},
        {"a directory", directory, ""},
        {"too large", writeImage("big.bin", 65'281),
         "The firmware image has 256 pages; at most 255 (65,280 bytes) can be sent."},
        // Opens, then fails at the first read: a file that cannot be read.
        {"unreadable", "/proc/self/mem", "Cannot read the firmware file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        form->boxes.clear();
        DeviceSim& device = startDevice({"--wait", "1", "--timeout", "1"});
        pressUpdate(c.path);
        if (c.message.empty()) {
            EXPECT_TRUE(form->boxes.empty());
        } else {
            ASSERT_EQ(form->boxes.size(), 1u);
            EXPECT_NE(form->boxes[0].text.find(c.message), std::string::npos)
                << form->boxes[0].text;
            EXPECT_EQ(form->boxes[0].icon, Icon::Warning);
        }
        EXPECT_FALSE(portOpen());
        const ProgramResult result = finishDevice(device);
        EXPECT_NE(result.out.find("received=0"), std::string::npos) << result.out;
    }
    expectUpdateCompletes();
}

TEST_F(FaultMatrix, ImageChangedOnDiskDuringUpdateIsSentAsReadAtStart) {
    const std::string image = writeImage("image.bin", 4'000);
    DeviceSim& device = startDevice({"--image-size", "4000", "--stop-after", "2", "--resume-after",
                                     "1", "--save", image + ".received"});
    pressUpdate(image);
    ASSERT_TRUE(spinUntil([&] { return form->statuses.size() >= 2; }, 10s));
    files.file("image.bin", Bytes(4'000, 0xEE));
    EXPECT_TRUE(waitForBox("Transfert Complete", 15s));
    EXPECT_EQ(finishDevice(device).exitCode, 0);
    EXPECT_EQ(readFile(image + ".received"), patterned(4'000));
}

TEST_F(FaultMatrix, UpdatePressedAgainMidTransferStartsAfresh) {
    const std::string first = writeImage("first.bin", 5'000);
    DeviceSim& stalled =
        startDevice({"--image-size", "5000", "--stop-after", "2", "--timeout", "5"});
    pressUpdate(first);
    ASSERT_TRUE(spinUntil([&] { return form->statuses.size() >= 2; }, 10s));
    // The operator gives up on that device and starts again on another.
    expectUpdateCompletes(3'000);
    EXPECT_EQ(boxCount("Transfer Interrupted"), 0);
    stalled.stop();
}

TEST_F(FaultMatrix, DownloadCommandMidTransferClosesUpdatePortAndWatchdogReports) {
    DeviceSim& device =
        startDevice({"--image-size", "5000", "--stop-after", "2", "--timeout", "5"});
    pressUpdate(writeImage("image.bin", 5'000));
    ASSERT_TRUE(spinUntil([&] { return form->statuses.size() >= 2; }, 10s));
    // The simulator ends its session when its port closes; the command goes
    // to a second one on the same port number, as a device that stays put.
    DeviceSim& download = startDevice({"--expect-download", "--timeout", "5"});
    form->answers.push_back(Answer::Yes);
    form->Command3->click();
    EXPECT_FALSE(portOpen());
    EXPECT_EQ(finishDevice(download).exitCode, 0);
    EXPECT_TRUE(waitForBox("Transfer Interrupted"));
    EXPECT_EQ(form->boxTexts(),
              (std::vector<std::string>{"Do you want to send the Download Command?",
                                        "Transfer Interrupted"}));
    device.stop();
    expectUpdateCompletes();
}

}  // namespace
}  // namespace oxu::testkit
