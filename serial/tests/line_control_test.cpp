// The line calls beyond Qt's settings on a bare pseudo-terminal, which has no
// modem-control lines and no serial flags and refuses every such call: the
// port must open, carry bytes and close as if nothing had been asked.

#include "serial/line_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>
#include <cerrno>

#include "serial/qt_serial_port.h"
#include "serial/tests/fake_scan.h"
#include "tests/kit/qt_pty.h"

namespace oxu {
namespace {

using namespace std::chrono_literals;
using testkit::fakeScan;
using testkit::Pty;

TEST(DrainTimeLimit, IsTheLineTimeOfTheHeldBytesPlusTheMargin) {
    const struct {
        std::size_t bytes;
        int baud;
        std::chrono::milliseconds limit;
    } cases[] = {
        {0, 38400, kDrainMargin},
        {1, 38400, kDrainMargin + 1ms},      // 0.26 ms rounds up
        {384, 38400, kDrainMargin + 100ms},  // exactly 100 ms
        {258, 9600, kDrainMargin + 269ms},   // a page at the slowest rate: 268.75 ms
        {4096, 19200, kDrainMargin + 2134ms},
        {100, 0, kDrainMargin},  // no rate known: the margin alone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + " bytes at " + std::to_string(c.baud));
        EXPECT_EQ(drainTimeLimit(c.bytes, c.baud), c.limit);
    }
}

TEST(DescribeLowLatency, SaysWhatTheDriverAnswered) {
    const struct {
        LowLatencyResult result;
        const char* says;
    } cases[] = {
        {{LowLatency::Set, 0}, "low latency: set while the port is open"},
        {{LowLatency::AlreadySet, 0}, "low latency: already set"},
        {{LowLatency::Refused, EPERM},
         "low latency: refused by the driver (Operation not permitted)"},
        {{LowLatency::NotOffered, ENOTTY},
         "low latency: not offered (the driver has no serial flags: Inappropriate ioctl for "
         "device)"},
        {{LowLatency::NotOffered, 0}, "low latency: not offered (the driver ignores the flag)"},
        {{LowLatency::NotTried, 0}, "low latency: not checked, the port did not open"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        EXPECT_NE(describeLowLatency(c.result).find(c.says), std::string::npos)
            << describeLowLatency(c.result);
    }
}

TEST(LineCallsOnAPty, AreRefusedWithoutHarm) {
    Pty pty;
    const int fd = pty.slave();
    EXPECT_EQ(lowerRequestToSend(fd), ENOTTY);
    EXPECT_EQ(requestLowLatency(fd), (LowLatencyResult{LowLatency::NotOffered, ENOTTY}));
    EXPECT_EQ(restoreLowLatency(fd), ENOTTY);
    EXPECT_EQ(waitUntilSent(fd, 38400).result, DrainOutcome::Result::Sent);
    const DrainOutcome failed = waitUntilSent(-1, 38400);
    EXPECT_EQ(failed.result, DrainOutcome::Result::LineFailed);
    EXPECT_NE(failed.reason.find("the line failed while sending"), std::string::npos);
}

TEST(LineStillThere, IsTrueForAFullLineAndFalseOnceTheOtherEndIsGone) {
    Pty pty;
    const int fd = pty.slave();
    EXPECT_TRUE(lineStillThere(fd));
    // The device stops reading: the line fills until a write would block.
    const int flags = ::fcntl(fd, F_GETFL);
    ASSERT_EQ(::fcntl(fd, F_SETFL, flags | O_NONBLOCK), 0);
    const Bytes chunk(4096, 0x42);
    while (::write(fd, chunk.data(), chunk.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    EXPECT_TRUE(lineStillThere(fd)) << "a full line is back-pressure, not a loss";
    pty.closeMaster();
    EXPECT_FALSE(lineStillThere(fd));
    EXPECT_FALSE(lineStillThere(-1));
}

TEST(PortOnAPty, OpensCarriesAndClosesWhenTheLineRefusesModemAndFlagCalls) {
    Pty pty;
    QtSerialPort port(fakeScan({{"OXU_COM1", pty.slavePath()}}));
    int lost = 0;
    Bytes received;
    port.setPortLostHandler([&](const SerialError&) { ++lost; });
    port.setDataReceivedHandler([&] {
        const Bytes chunk = port.readAll();
        received.insert(received.end(), chunk.begin(), chunk.end());
    });
    EXPECT_EQ(port.lowLatency().outcome, LowLatency::NotTried);

    port.open();
    EXPECT_EQ(port.lowLatency(), (LowLatencyResult{LowLatency::NotOffered, ENOTTY}));
    port.write(Bytes{0xAA, 0x01, 0x00, 0xAB});
    EXPECT_EQ(pty.receive(4), (Bytes{0xAA, 0x01, 0x00, 0xAB}));
    pty.send({0xAA, 0x01});
    EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 10000));
    QTest::qWait(50);  // a wrongly reported loss would come now; none may
    EXPECT_TRUE(port.isOpen()) << "a refused modem-control call is no lost port";
    EXPECT_EQ(lost, 0);
    EXPECT_NO_THROW(port.close());
    EXPECT_EQ(port.lowLatency().outcome, LowLatency::NotOffered) << "kept after close";
}

}  // namespace
}  // namespace oxu
