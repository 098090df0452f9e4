// The port on a line that behaves like a USB-serial adapter: this test
// program runs with the line shim preloaded (see line_shim.cpp), which plays
// the driver's modem lines and serial flags on a pseudo-terminal and logs
// every call the port makes on it.

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <unistd.h>

#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>

#include "serial/qt_serial_port.h"
#include "serial/tests/fake_scan.h"
#include "serial/tests/shim_log.h"
#include "tests/kit/qt_pty.h"

namespace oxu {
namespace {

using testkit::fakeScan;
using testkit::Pty;
using testkit::ShimLog;

const std::string kLowLatencyFlags = "flags=0x2000";

class AdapterLineTest : public ::testing::Test {
protected:
    AdapterLineTest()
        : m_logPath((std::filesystem::temp_directory_path() /
                     ("oxu-shim-" + std::to_string(::getpid()) + ".log"))
                        .string()),
          m_port(fakeScan({{"OXU_COM1", m_pty.slavePath()}})) {
        std::filesystem::remove(m_logPath);
        ::setenv("OXU_SHIM_DEVICE", m_pty.slavePath().c_str(), 1);
        ::setenv("OXU_SHIM_LOG", m_logPath.c_str(), 1);
    }
    ~AdapterLineTest() override {
        for (const char* name :
             {"OXU_SHIM_DEVICE", "OXU_SHIM_LOG", "OXU_SHIM_LINE", "OXU_SHIM_FLAGS",
              "OXU_SHIM_REFUSE_SET", "OXU_SHIM_OUTQ", "OXU_SHIM_OUTQ_MS", "OXU_SHIM_DRAIN_BLOCK"})
            ::unsetenv(name);
        std::filesystem::remove(m_logPath);
    }
    void SetUp() override {
        if (std::getenv("LD_PRELOAD") == nullptr)
            GTEST_SKIP() << "needs the line shim preloaded (run through ctest)";
    }

    // Opens the port, sends a header, closes it; returns the log.
    ShimLog runSession() {
        m_port.open();
        m_port.write(Bytes{0xAA, 0x01, 0x00, 0xAB});
        EXPECT_EQ(m_pty.receive(4).size(), 4u);
        m_port.close();
        return ShimLog::read(m_logPath);
    }

    std::string m_logPath;
    Pty m_pty;
    QtSerialPort m_port;
};

TEST_F(AdapterLineTest, LowersRtsAndSetsLowLatencyBeforeTheFirstByteAndRestoresAtClose) {
    const ShimLog log = runSession();
    ASSERT_TRUE(m_port.lowLatency() == (LowLatencyResult{LowLatency::Set, 0})) << log.text();

    const std::size_t open = log.find("open ");
    const std::size_t rts = log.find("ioctl TIOCMBIC RTS = 0");
    const std::size_t setLow = log.find("ioctl TIOCSSERIAL " + kLowLatencyFlags + " = 0");
    const std::size_t write = log.find("write ");
    const std::size_t drain = log.find("ioctl TIOCOUTQ 0 = 0", write);
    const std::size_t restore = log.find("ioctl TIOCSSERIAL flags=0x0 = 0");
    const std::size_t settingsBack = log.find("tcsetattr", drain);
    const std::size_t close = log.find("close ");
    ASSERT_NE(close, ShimLog::kNone) << log.text();
    EXPECT_LT(open, rts) << log.text();
    EXPECT_LT(rts, write) << log.text();
    EXPECT_LT(setLow, write) << log.text();
    EXPECT_EQ(log.lines[write], "write 4 lines=DTR = 4") << "RTS low, DTR as the system set it";
    EXPECT_LT(drain, restore) << log.text();
    EXPECT_LT(restore, settingsBack) << "flags back while the port is still ours";
    EXPECT_LT(settingsBack, close);
    EXPECT_EQ(log.lines[close], "close lines=DTR flags=0x0");
    EXPECT_TRUE(log.all("ioctl TIOCMBIS").empty()) << "nothing raises a line";
}

TEST_F(AdapterLineTest, EachDriverAnswerLeavesTheFlagsAsTheyWere) {
    const struct {
        const char* driver;
        const char* variable;
        const char* value;
        LowLatencyResult result;
        const char* flagsAtClose;
        std::size_t flagWrites;  // TIOCSSERIAL calls in the session
    } cases[] = {
        {"low latency off, another flag on",
         "OXU_SHIM_FLAGS",
         "0x40",
         {LowLatency::Set, 0},
         "flags=0x40",
         2},
        {"low latency already on",
         "OXU_SHIM_FLAGS",
         "0x2000",
         {LowLatency::AlreadySet, 0},
         "flags=0x2000",
         0},
        {"driver refuses the flag",
         "OXU_SHIM_REFUSE_SET",
         "1",
         {LowLatency::Refused, EPERM},
         "flags=0x0",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.driver);
        std::filesystem::remove(m_logPath);
        ::setenv(c.variable, c.value, 1);
        const ShimLog log = runSession();
        ::unsetenv(c.variable);
        EXPECT_TRUE(m_port.lowLatency() == c.result) << log.text();
        EXPECT_EQ(log.all("ioctl TIOCSSERIAL").size(), c.flagWrites) << log.text();
        EXPECT_EQ(log.lines.back(), std::string("close lines=DTR ") + c.flagsAtClose);
    }
}

TEST_F(AdapterLineTest, TheCloseWaitsForTheDriversQueueOnlyAsLongAsTheLineNeeds) {
    // The driver holds 100 bytes (26 ms at 38400 baud), and the drain call
    // itself would block for a minute: the port must ask the driver's count
    // instead, and give up after the line time and the margin.
    ::setenv("OXU_SHIM_OUTQ", "100", 1);
    ::setenv("OXU_SHIM_DRAIN_BLOCK", "60", 1);
    const struct {
        const char* adapter;
        const char* leavesAfterMs;  // nothing: the adapter stopped sending
        bool onTheLoop;             // closeWhenSent() rather than close()
    } cases[] = {
        {"sends them, close()", "100", false},
        {"sends them, closeWhenSent()", "100", true},
        {"stopped sending, close()", nullptr, false},
        {"stopped sending, closeWhenSent()", nullptr, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.adapter);
        std::filesystem::remove(m_logPath);
        if (c.leavesAfterMs != nullptr)
            ::setenv("OXU_SHIM_OUTQ_MS", c.leavesAfterMs, 1);
        else
            ::unsetenv("OXU_SHIM_OUTQ_MS");
        m_port.open();
        m_port.write(Bytes{0x2F, 0x55, 0xAA});
        std::optional<SerialError> failure;
        if (c.onTheLoop) {
            int ticks = 0;  // the loop runs while the port waits
            QTimer tick;
            QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
            tick.start(1);
            bool told = false;
            m_port.closeWhenSent([&](const std::optional<SerialError>& outcome) {
                told = true;
                failure = outcome;
            });
            EXPECT_TRUE(QTest::qWaitFor([&] { return told; }, 10000));
            EXPECT_GT(ticks, 0);
        } else {
            try {
                m_port.close();
            } catch (const SerialError& error) {
                failure = error;
            }
        }
        EXPECT_FALSE(m_port.isOpen());
        EXPECT_EQ(m_pty.receive(3), (Bytes{0x2F, 0x55, 0xAA}));
        const ShimLog log = ShimLog::read(m_logPath);
        SCOPED_TRACE(log.text());
        EXPECT_TRUE(log.all("tcdrain").empty());
        const std::size_t held = log.find("ioctl TIOCOUTQ 100 = 0");
        const std::size_t restored = log.find("ioctl TIOCSSERIAL flags=0x0 = 0");
        EXPECT_LT(held, restored);
        EXPECT_LT(restored, log.find("tcsetattr", restored)) << "flags back before the settings";
        EXPECT_EQ(log.lines.back(), "close lines=DTR flags=0x0");
        if (c.leavesAfterMs != nullptr) {
            EXPECT_FALSE(failure.has_value()) << failure->what();
            EXPECT_LT(held, log.find("ioctl TIOCOUTQ 0 = 0")) << "waited until they left";
            EXPECT_EQ(log.find("tcflush TCOFLUSH"), ShimLog::kNone);
            continue;
        }
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->kind(), PortErrorKind::Stalled);
        const std::string text = failure->what();
        EXPECT_EQ(text.rfind("COM 1 (" + m_pty.slavePath() +
                                 "): 100 bytes were still waiting to be sent after ",
                             0),
                  0u)
            << text;
        EXPECT_NE(text.find(" ms; the adapter stopped sending."), std::string::npos) << text;
        const std::size_t flushed = log.find("tcflush TCOFLUSH");
        EXPECT_LT(held, flushed);
        EXPECT_LT(flushed, log.find("close ")) << "what was left is discarded before the close";
    }
}

TEST_F(AdapterLineTest, FlagsFoundAtOpenComeBackInOneCallWhileThePortIsOpen) {
    // What a program that ends at once (Cancel, SIGTERM) does before it goes.
    ::setenv("OXU_SHIM_FLAGS", "0x40", 1);
    m_port.open();
    restoreSavedLineFlags();
    const ShimLog atEnd = ShimLog::read(m_logPath);
    EXPECT_EQ(atEnd.all("ioctl TIOCSSERIAL"),
              (std::vector<std::string>{"ioctl TIOCSSERIAL flags=0x2040 = 0",
                                        "ioctl TIOCSSERIAL flags=0x40 = 0"}))
        << atEnd.text();
    EXPECT_EQ(atEnd.lines.back(), "ioctl TIOCSSERIAL flags=0x40 = 0") << "no drain, no wait";

    // Once the port is closed there is nothing left to put back.
    m_port.close();
    const std::size_t before = ShimLog::read(m_logPath).lines.size();
    restoreSavedLineFlags();
    EXPECT_EQ(ShimLog::read(m_logPath).lines.size(), before);
}

}  // namespace
}  // namespace oxu
