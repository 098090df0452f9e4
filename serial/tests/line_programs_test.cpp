// The programs on a line that behaves like a USB-serial adapter: oxu-update
// and the window (its scripted test program) run a whole update and the
// download command against the simulated device, with the line shim
// preloaded to play the adapter's driver and log what they ask of the line.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "kit/child_process.h"
#include "serial/tests/shim_log.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/programs.h"
#include "tests/kit/pty_pair.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

const std::string kWindow = OXU_UPDATER_SCRIPTED;
const std::string kShim = OXU_LINE_SHIM;

constexpr std::size_t kImageSize = 600;  // three pages
const std::string kCompleteBox = "box information OXU Updater|Transfert Complete";

// What one program said in one run.
struct Outcome {
    int exitCode = -1;
    std::string said;  // its standard output and error
};

class LinePrograms : public ::testing::Test {
public:  // the session tables call the members through pointers
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("oxu-line-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
        m_image = (m_dir / "fw.bin").string();
        std::ofstream(m_image, std::ios::binary) << std::string(kImageSize, '\x5A');
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string logPath() const { return (m_dir / "line.log").string(); }

    // The shim on the simulator's terminal, with extra settings; none at all
    // with withShim false (a bare pseudo-terminal).
    Environment lineEnvironment(const DeviceSim& device, const Environment& extra,
                                bool withShim = true) const {
        Environment env{{"OXU_COM1", device.path()}, {"QT_QPA_PLATFORM", "offscreen"}};
        if (withShim) {
            env.insert(env.end(), {{"LD_PRELOAD", kShim},
                                   {"OXU_SHIM_DEVICE", device.path()},
                                   {"OXU_SHIM_LOG", logPath()}});
        }
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    // A whole update by oxu-update; the device must report it complete.
    Outcome updateByTool(const Environment& extra = {}, bool withShim = true) {
        DeviceSim device(kSimulator, {"--image-size", std::to_string(kImageSize)});
        const ProgramResult run =
            runProgram(kUpdate, {"--port", "1", "--trace", "--timeout", "5", m_image},
                       lineEnvironment(device, extra, withShim));
        EXPECT_NE(findLine(device.finish().out, "verdict:").find("verdict: ok"), std::string::npos);
        return {run.exitCode, run.out + run.err};
    }

    // The download command by oxu-update; the device must receive it.
    Outcome downloadByTool(const Environment& extra = {}, bool withShim = true) {
        DeviceSim device(kSimulator, {"--expect-download"});
        const ProgramResult run =
            runProgram(kUpdate, {"--download-command", "--port", "1", "--yes", "--trace"},
                       lineEnvironment(device, extra, withShim));
        EXPECT_NE(device.finish().out.find("download: ok bytes=2f55aa"), std::string::npos);
        return {run.exitCode, run.out + run.err};
    }

    // The window runs the script, then "Cancel" once `until` has been said.
    Outcome runWindow(DeviceSim& device, const std::string& script, const std::string& until,
                      const Environment& extra, bool withShim) {
        ChildProcess window(kWindow, {}, lineEnvironment(device, extra, withShim),
                            ChildProcess::Input::Pipe);
        window.writeInput(script);
        EXPECT_TRUE(window.waitForOutput(Stream::Out, until, 20s))
            << window.output(Stream::Out) << window.output(Stream::Err);
        window.writeInput("click Command1\n");
        const ProgramResult run = window.finish(10s);
        return {run.exitCode, run.out + run.err};
    }

    Outcome updateByWindow(const Environment& extra = {}, bool withShim = true) {
        DeviceSim device(kSimulator, {"--image-size", std::to_string(kImageSize)});
        Outcome run = runWindow(device, "file " + m_image + "\nclick Command2\n", kCompleteBox,
                                extra, withShim);
        EXPECT_NE(findLine(device.finish().out, "verdict:").find("verdict: ok"), std::string::npos);
        return run;
    }

    Outcome downloadByWindow(const Environment& extra = {}, bool withShim = true) {
        DeviceSim device(kSimulator, {"--expect-download"});
        ChildProcess& sim = device.process();
        Outcome run = runWindow(
            device, "answer yes\nclick Command3\n",
            "box question OXU Updater|Do you want to send the Download Command?", extra, withShim);
        EXPECT_TRUE(sim.waitForOutput(Stream::Out, "download: ok bytes=2f55aa", 10s))
            << sim.output(Stream::Out);
        return run;
    }

    ShimLog log() const { return ShimLog::read(logPath()); }

    std::filesystem::path m_dir;
    std::string m_image;
};

// The calls every session on the adapter must show: RTS lowered and low
// latency set after the open and before the first byte, every byte sent with
// RTS low, and the flags back as they were before the port is released.
void expectAdapterSession(const ShimLog& log) {
    SCOPED_TRACE(log.text());
    const std::size_t open = log.find("open ");
    const std::size_t rts = log.find("ioctl TIOCMBIC RTS = 0");
    const std::size_t lowLatency = log.find("ioctl TIOCSSERIAL flags=0x2000 = 0");
    const std::size_t firstWrite = log.find("write ");
    const std::size_t restored = log.find("ioctl TIOCSSERIAL flags=0x0 = 0");
    const std::size_t close = log.find("close ");
    ASSERT_NE(open, ShimLog::kNone);
    ASSERT_NE(firstWrite, ShimLog::kNone);
    ASSERT_NE(close, ShimLog::kNone);
    EXPECT_LT(open, rts);
    EXPECT_LT(rts, firstWrite);
    EXPECT_LT(open, lowLatency);
    EXPECT_LT(lowLatency, firstWrite);
    for (const std::string& write : log.all("write "))
        EXPECT_NE(write.find(" lines=DTR = "), std::string::npos) << write;
    EXPECT_LT(log.find("ioctl TIOCOUTQ 0 = 0", firstWrite), restored) << "drained first";
    EXPECT_LT(restored, close);
    EXPECT_EQ(log.lines.back(), "close lines=DTR flags=0x0");
    EXPECT_EQ(log.all("open ").size(), 1u);
}

TEST_F(LinePrograms, EverySessionLowersRtsAndSetsLowLatencyBeforeTheFirstByte) {
    const struct {
        const char* session;
        Outcome (LinePrograms::*play)(const Environment&, bool);
    } cases[] = {
        {"oxu-update, update", &LinePrograms::updateByTool},
        {"oxu-update, download command", &LinePrograms::downloadByTool},
        {"window, update", &LinePrograms::updateByWindow},
        {"window, download command", &LinePrograms::downloadByWindow},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.session);
        std::filesystem::remove(logPath());
        const Outcome run = (this->*c.play)({}, true);
        EXPECT_EQ(run.exitCode, 0) << run.said;
        expectAdapterSession(log());
    }
}

TEST_F(LinePrograms, LinesThatRefuseTheCallsChangeNothingTheOperatorSees) {
    // Each program, on a pty that refuses every modem-line and flag call
    // (logged through the shim), and on a bare pty: the same messages as ever.
    const struct {
        const char* session;
        Outcome (LinePrograms::*play)(const Environment&, bool);
        std::vector<std::string> expected;  // what must be said, once each
    } cases[] = {
        {"oxu-update, update",
         &LinePrograms::updateByTool,
         {"oxu-update: complete\n", "low latency: not offered"}},
        {"oxu-update, download command",
         &LinePrograms::downloadByTool,
         {"download command sent to COM 1", "low latency: not offered"}},
        {"window, update", &LinePrograms::updateByWindow, {kCompleteBox}},
        {"window, download command", &LinePrograms::downloadByWindow, {"box question"}},
    };
    for (const bool withShim : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.session) + (withShim ? ", refusing line" : ", bare pty"));
            std::filesystem::remove(logPath());
            const Outcome run = (this->*c.play)({{"OXU_SHIM_LINE", "bare"}}, withShim);
            EXPECT_EQ(run.exitCode, 0) << run.said;
            for (const std::string& text : c.expected)
                EXPECT_EQ(countOccurrences(run.said, text), 1) << text << "\n" << run.said;
            for (const char* unwanted : {"box warning", "box none", "lost", "Cannot", "rror"})
                EXPECT_EQ(run.said.find(unwanted), std::string::npos) << unwanted << run.said;
            // The system's word for the refusal shows only in the trace's line.
            EXPECT_EQ(countOccurrences(run.said, "Inappropriate ioctl"),
                      countOccurrences(run.said, "low latency: not offered"))
                << run.said;
            if (withShim) {
                const ShimLog calls = log();
                EXPECT_NE(calls.find("ioctl TIOCMBIC RTS = -1 ENOTTY"), ShimLog::kNone)
                    << calls.text();
                EXPECT_NE(calls.find("ioctl TIOCGSERIAL = -1 ENOTTY"), ShimLog::kNone)
                    << calls.text();
            }
        }
    }
}

TEST_F(LinePrograms, TraceSaysOnceWhatTheDriverAnsweredToLowLatency) {
    const struct {
        const char* driver;
        Environment settings;
        const char* says;
    } cases[] = {
        {"FTDI-like", {}, "): low latency: set while the port is open"},
        {"flag already on", {{"OXU_SHIM_FLAGS", "0x2000"}}, "low latency: already set"},
        {"refusing the flag",
         {{"OXU_SHIM_REFUSE_SET", "1"}},
         "low latency: refused by the driver (Operation not permitted)"},
        {"no serial flags", {{"OXU_SHIM_LINE", "bare"}}, "low latency: not offered"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.driver);
        const Outcome run = updateByTool(c.settings);
        EXPECT_EQ(run.exitCode, 0) << run.said;
        EXPECT_EQ(countOccurrences(run.said, c.says), 1) << run.said;
        EXPECT_EQ(countOccurrences(run.said, "low latency"), 1) << run.said;
    }
}

// The adapter stopped sending: its driver keeps 100 bytes, and a drain call
// would block for a minute.
const Environment kStalledAdapter{{"OXU_SHIM_OUTQ", "100"}, {"OXU_SHIM_DRAIN_BLOCK", "60"}};

// The drain asked the driver, gave up on what it held, discarded that, and
// only then let go of the port.
void expectGivenUpDrain(const ShimLog& log) {
    SCOPED_TRACE(log.text());
    EXPECT_TRUE(log.all("tcdrain").empty());
    const std::size_t held = log.find("ioctl TIOCOUTQ 100 = 0");
    const std::size_t flushed = log.find("tcflush TCOFLUSH");
    ASSERT_NE(flushed, ShimLog::kNone);
    EXPECT_LT(held, flushed);
    EXPECT_LT(flushed, log.find("close "));
    EXPECT_EQ(log.lines.back(), "close lines=DTR flags=0x0");
}

TEST_F(LinePrograms, AnAdapterThatStopsSendingDelaysTheEndOnlyByItsLineTime) {
    const std::string stranded = "100 bytes were still waiting to be sent after ";
    const struct {
        const char* session;
        Outcome (LinePrograms::*play)(const Environment&, bool);
        int exitCode;
        std::vector<std::string> expected;  // what must be said, once each
    } cases[] = {
        // The device said it is complete: that stands, with a word on the rest.
        {"oxu-update, update",
         &LinePrograms::updateByTool,
         0,
         {"oxu-update: complete\n", "oxu-update: warning: COM 1 (", stranded}},
        {"window, update", &LinePrograms::updateByWindow, 0, {kCompleteBox}},
        // The command's three bytes may not have left: not sent.
        {"oxu-update, download command",
         &LinePrograms::downloadByTool,
         1,
         {stranded, "; the adapter stopped sending."}},
        {"window, download command",
         &LinePrograms::downloadByWindow,
         0,
         {"box none Oxu|COM 1 (", stranded}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.session);
        std::filesystem::remove(logPath());
        const auto begin = std::chrono::steady_clock::now();
        const Outcome run = (this->*c.play)(kStalledAdapter, true);
        std::cout << "[ measured ] " << c.session << ": "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - begin)
                         .count()
                  << " ms in all, the drain blocked for 60 s" << std::endl;
        EXPECT_EQ(run.exitCode, c.exitCode) << run.said;
        for (const std::string& text : c.expected)
            EXPECT_EQ(countOccurrences(run.said, text), 1) << text << "\n" << run.said;
        EXPECT_EQ(run.said.find("download command sent"), std::string::npos) << run.said;
        expectGivenUpDrain(log());
    }
}

TEST_F(LinePrograms, CtrlCDuringTheFinalDrainIsAnInterruptionAndTheBytesLeaveFirst) {
    // The driver holds 20000 bytes (5.2 s of line) that leave 1.5 s after
    // the port first asks: Ctrl-C comes while the port waits for them.
    const Environment slowAdapter{{"OXU_SHIM_OUTQ", "20000"}, {"OXU_SHIM_OUTQ_MS", "1500"}};
    const struct {
        const char* session;
        std::vector<std::string> simulator;
        std::vector<std::string> args;
    } cases[] = {
        // A device that never answers keeps the line up while the port that
        // gave up on it drains: an update's close runs on the loop, and a
        // device that hung up would end that drain at once.
        {"update", {"--silent"}, {"--port", "1", "--timeout", "1", m_image}},
        {"download command", {"--expect-download"}, {"--port", "1", "--download-command", "--yes"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.session);
        std::filesystem::remove(logPath());
        DeviceSim device(kSimulator, c.simulator);
        ChildProcess tool(kUpdate, c.args, lineEnvironment(device, slowAdapter));
        bool waiting = false;
        for (int look = 0; look < 1000 && !waiting; ++look) {
            waiting = log().find("ioctl TIOCOUTQ 20000") != ShimLog::kNone;
            if (!waiting)
                std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(waiting) << log().text();
        tool.sendSignal(SIGINT);
        const ProgramResult run = tool.finish(20s);
        device.stop();
        EXPECT_EQ(run.exitCode, 130) << run.err;
        EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("lost"), std::string::npos) << run.err;
        const ShimLog calls = log();
        SCOPED_TRACE(calls.text());
        const std::size_t left = calls.find("ioctl TIOCOUTQ 0 = 0");
        EXPECT_LT(left, calls.find("ioctl TIOCSSERIAL flags=0x0 = 0")) << "flags back after";
        EXPECT_LT(left, calls.find("tcsetattr", left)) << "old settings back after";
        EXPECT_EQ(calls.find("tcflush TCOFLUSH"), ShimLog::kNone);
    }
}

TEST_F(LinePrograms, AWindowEndedAtOnceLeavesTheAdaptersFlagsAsItFoundThem) {
    // The driver starts with another flag set; the update runs (the device
    // then falls silent) when the window is ended.
    const struct {
        const char* how;
        int signal;  // 0: the operator presses Cancel
    } cases[] = {{"Cancel", 0}, {"SIGTERM", SIGTERM}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        std::filesystem::remove(logPath());
        DeviceSim device(kSimulator,
                         {"--image-size", std::to_string(kImageSize), "--stop-after", "1"});
        ChildProcess window(kWindow, {}, lineEnvironment(device, {{"OXU_SHIM_FLAGS", "0x40"}}),
                            ChildProcess::Input::Pipe);
        window.writeInput("events\nfile " + m_image + "\nclick Command2\n");
        ASSERT_TRUE(window.waitForOutput(Stream::Out, "event page 1 258", 20s))
            << window.output(Stream::Out) << window.output(Stream::Err);
        if (c.signal == 0)
            window.writeInput("click Command1\n");
        else
            window.sendSignal(c.signal);
        const ProgramResult run = window.finish(10s);
        device.stop();
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.signal, c.signal) << "ends as it always has";
        const ShimLog calls = log();
        SCOPED_TRACE(calls.text());
        const std::vector<std::string> flagWrites = calls.all("ioctl TIOCSSERIAL");
        EXPECT_EQ(flagWrites, (std::vector<std::string>{"ioctl TIOCSSERIAL flags=0x2040 = 0",
                                                        "ioctl TIOCSSERIAL flags=0x40 = 0"}));
        EXPECT_LT(calls.find("write "), calls.find("ioctl TIOCSSERIAL flags=0x40"));
    }
}

TEST_F(LinePrograms, CheckPortSaysWhatTheAdapterAnsweredAndSendsNothing) {
    const struct {
        const char* driver;
        Environment settings;
        const char* lowLatency;
        const char* rts;
        const char* closed;  // the line as the port left it
    } cases[] = {
        {"FTDI-like",
         {},
         "low latency: set while the port is open",
         "RTS: lowered after the open",
         "close lines=DTR flags=0x0"},
        {"flag already on",
         {{"OXU_SHIM_FLAGS", "0x2000"}},
         "low latency: already set",
         "RTS: lowered after the open",
         "close lines=DTR flags=0x2000"},
        {"refusing the flag",
         {{"OXU_SHIM_REFUSE_SET", "1"}},
         "low latency: refused by the driver (Operation not permitted)",
         "RTS: lowered after the open",
         "close lines=DTR flags=0x0"},
        {"no modem lines or serial flags",
         {{"OXU_SHIM_LINE", "bare"}},
         "low latency: not offered (the driver has no serial flags",
         "RTS: not offered (the line has no modem-control lines",
         "close lines=unknown flags=0x0"},
    };
    PtyPair line;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.driver);
        std::filesystem::remove(logPath());
        Environment env{
            {"LD_PRELOAD", kShim}, {"OXU_SHIM_DEVICE", line.path()}, {"OXU_SHIM_LOG", logPath()}};
        env.insert(env.end(), c.settings.begin(), c.settings.end());
        const ProgramResult run =
            runProgram(kUpdate, {"--check-port", "--device", line.path()}, env);
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("\n" + std::string(c.lowLatency)), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\n" + std::string(c.rts)), std::string::npos) << run.out;
        const ShimLog calls = log();
        SCOPED_TRACE(calls.text());
        EXPECT_EQ(calls.all("open ").size(), 1u);
        EXPECT_TRUE(calls.all("write ").empty());
        ASSERT_FALSE(calls.lines.empty());
        EXPECT_EQ(calls.lines.back(), c.closed);
    }
}

}  // namespace
}  // namespace oxu::testkit
