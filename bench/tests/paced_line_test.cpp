#include "bench/paced_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "kit/pty.h"

namespace oxu::bench {
namespace {

using std::chrono::milliseconds;

// A fast line keeps the tests short; the pacing logic is the same.
constexpr long kFastBaud = 1'000'000;
constexpr milliseconds kPlenty{10000};

// The device's side: a pseudo-terminal whose slave the paced line opens,
// read and written here through its master.
class DeviceEnd {
public:
    DeviceEnd() : m_ends(kit::openRawPty()) {}
    ~DeviceEnd() {
        ::close(m_ends.master);
        if (m_ends.slave >= 0)
            ::close(m_ends.slave);
    }
    const std::string& path() const { return m_ends.slavePath; }
    int master() const { return m_ends.master; }
    // Once the line holds the slave, only its close should end reads.
    void releaseSlave() {
        ::close(m_ends.slave);
        m_ends.slave = -1;
    }

private:
    kit::PtyEnds m_ends;
};

int openRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    kit::makeRaw(fd);
    return fd;
}

void writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Reads until count bytes came, or nothing came for the timeout.
std::vector<std::uint8_t> readCount(int fd, std::size_t count) {
    std::vector<std::uint8_t> got;
    while (got.size() < count) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(kPlenty.count())) <= 0)
            break;
        std::uint8_t chunk[512];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

std::vector<std::uint8_t> everyByteValue() {
    std::vector<std::uint8_t> bytes;
    for (int value = 0; value < 256; ++value)
        bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

TEST(PacedLine, CarriesEveryByteUnchangedBothWaysAndCountsThem) {
    DeviceEnd device;
    PacedLine line(device.path(), kFastBaud);
    device.releaseSlave();
    const int program = openRaw(line.programPath());
    ASSERT_GE(program, 0);

    const std::vector<std::uint8_t> page = everyByteValue();
    const auto sentAt = std::chrono::steady_clock::now().time_since_epoch();
    writeAll(program, page);
    EXPECT_EQ(readCount(device.master(), page.size()), page);

    const std::vector<std::uint8_t> reply{0xAA, 0x0A, 0x0D, 0x11, 0x13, 0x55};
    writeAll(device.master(), reply);
    EXPECT_EQ(readCount(program, reply.size()), reply);

    const auto closedAt = std::chrono::steady_clock::now().time_since_epoch();
    ::close(program);
    const LineReport report = line.finish(kPlenty);
    EXPECT_TRUE(report.failure.empty()) << report.failure;
    // The span's ends are moments of the steady clock, so that several lines
    // add up to one span: the first byte came in after it was sent, and
    // before the program closed.
    EXPECT_EQ(report.lastByteOut - report.firstByteIn, report.busy);
    EXPECT_GE(report.firstByteIn, sentAt);
    EXPECT_LE(report.firstByteIn, closedAt);
    EXPECT_GT(report.cpu.count(), 0);
    EXPECT_EQ(report.bytesToDevice, page.size());
    EXPECT_EQ(report.bytesToProgram, reply.size());
    // Sent one way after the other, the bytes cannot cross faster than the line.
    const auto lineTime = PacedLine::byteTime(kFastBaud) * (page.size() + reply.size());
    EXPECT_GE(report.busy, lineTime);
    EXPECT_GE(report.ratio, 1.0);
}

TEST(PacedLine, TheDeviceSeesThePortCloseWhenTheProgramClosesIt) {
    DeviceEnd device;
    PacedLine line(device.path(), kFastBaud);
    device.releaseSlave();
    const int program = openRaw(line.programPath());
    writeAll(program, {0xAA, 0x01, 0x00, 0xAB});
    EXPECT_EQ(readCount(device.master(), 4).size(), 4u);
    ::close(program);
    EXPECT_TRUE(line.finish(kPlenty).failure.empty());

    pollfd watched{device.master(), POLLIN, 0};
    ASSERT_EQ(::poll(&watched, 1, static_cast<int>(kPlenty.count())), 1);
    EXPECT_TRUE(watched.revents & POLLHUP);
}

TEST(PacedLine, ReportsAProgramThatNeverClosesItsPort) {
    DeviceEnd device;
    PacedLine line(device.path(), kFastBaud);
    const LineReport report = line.finish(milliseconds(100));
    EXPECT_NE(report.failure.find(line.programPath()), std::string::npos) << report.failure;
    EXPECT_EQ(report.bytesToDevice, 0u);
}

TEST(PacedLine, ReportsADeviceThatGoesAway) {
    auto device = std::make_unique<DeviceEnd>();
    PacedLine line(device->path(), kFastBaud);
    device->releaseSlave();
    const int program = openRaw(line.programPath());
    writeAll(program, {0xAA});
    device.reset();
    const LineReport report = line.finish(kPlenty);
    EXPECT_NE(report.failure.find("device"), std::string::npos) << report.failure;
    ::close(program);
}

TEST(PacedLine, RefusesAMissingDeviceNamingIt) {
    try {
        PacedLine line("/dev/pts/oxu-missing", kFastBaud);
        FAIL() << "opened a missing terminal";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/dev/pts/oxu-missing"), std::string::npos);
    }
}

TEST(PacedLine, ByteTimeIsTenBitsAtTheBaudRate) {
    EXPECT_EQ(PacedLine::byteTime(38400), std::chrono::nanoseconds(260416));
    EXPECT_EQ(PacedLine::byteTime(9600), std::chrono::nanoseconds(1041666));
}

}  // namespace
}  // namespace oxu::bench
