#include "kit/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace oxu::kit {
namespace {

// Guards against a hang only; no test depends on how long a read takes.
constexpr int kGuardMs = 5000;

struct OpenPty {
    explicit OpenPty(MasterMode mode = MasterMode::Blocking) : ends(openRawPty(mode)) {}
    ~OpenPty() {
        ::close(ends.master);
        ::close(ends.slave);
    }
    PtyEnds ends;
};

std::vector<unsigned char> everyByteValue() {
    std::vector<unsigned char> bytes(256);
    for (int value = 0; value < 256; ++value)
        bytes[value] = static_cast<unsigned char>(value);
    return bytes;
}

std::vector<unsigned char> readUpTo(int fd, std::size_t count) {
    std::vector<unsigned char> received;
    while (received.size() < count) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, kGuardMs) <= 0)
            break;
        unsigned char chunk[512];
        const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, count - received.size()));
        if (got <= 0)
            break;
        received.insert(received.end(), chunk, chunk + got);
    }
    return received;
}

void expectRaw(int fd) {
    termios settings{};
    ASSERT_EQ(::tcgetattr(fd, &settings), 0);
    EXPECT_EQ(settings.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | PARMRK), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
}

TEST(OpenRawPty, GivesBothEndsRawAndCloseOnExecWithTheMasterModeAsked) {
    struct Case {
        const char* name;
        MasterMode mode;
        bool nonBlocking;
    };
    for (const Case& c : {Case{"blocking", MasterMode::Blocking, false},
                          Case{"non-blocking", MasterMode::NonBlocking, true}}) {
        SCOPED_TRACE(c.name);
        OpenPty pty(c.mode);
        EXPECT_EQ(pty.ends.slavePath.rfind("/dev/pts/", 0), 0u) << pty.ends.slavePath;
        for (int fd : {pty.ends.master, pty.ends.slave}) {
            expectRaw(fd);
            EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        }
        EXPECT_EQ((::fcntl(pty.ends.master, F_GETFL) & O_NONBLOCK) != 0, c.nonBlocking);
        EXPECT_FALSE(::fcntl(pty.ends.slave, F_GETFL) & O_NONBLOCK);
    }
}

// Every byte value crosses unchanged either way, to the slave end this
// process holds and to the path a program under test opens.
TEST(OpenRawPty, PassesEveryByteValueUnchangedBothWays) {
    OpenPty pty;
    const int opened = ::open(pty.ends.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(opened, 0) << pty.ends.slavePath << ": " << std::strerror(errno);
    struct Case {
        const char* name;
        int from;
        int to;
    };
    const Case cases[] = {
        {"device to program", pty.ends.master, pty.ends.slave},
        {"program to device", pty.ends.slave, pty.ends.master},
        {"device to the opened path", pty.ends.master, opened},
        {"the opened path to device", opened, pty.ends.master},
    };
    const std::vector<unsigned char> bytes = everyByteValue();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::write(c.from, bytes.data(), bytes.size()), 256);
        EXPECT_EQ(readUpTo(c.to, bytes.size()), bytes);
    }
    ::close(opened);
}

// Without a speed the terminal keeps its own (the simulator marks its line
// with one); with a speed, the speed comes in the same call.
TEST(MakeRaw, MakesACookedTerminalRawWithTheSpeedAsked) {
    struct Case {
        const char* name;
        std::optional<speed_t> speed;
        speed_t expected;
    };
    for (const Case& c :
         {Case{"speed kept", std::nullopt, B50}, Case{"speed set", B38400, B38400}}) {
        SCOPED_TRACE(c.name);
        OpenPty pty;
        termios cooked{};
        ASSERT_EQ(::tcgetattr(pty.ends.slave, &cooked), 0);
        cooked.c_lflag |= ECHO | ICANON | ISIG;
        cooked.c_iflag |= ICRNL | IXON;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_cflag &= ~(CLOCAL | CREAD);
        ::cfsetispeed(&cooked, B50);
        ::cfsetospeed(&cooked, B50);
        ASSERT_EQ(::tcsetattr(pty.ends.slave, TCSANOW, &cooked), 0);

        ASSERT_TRUE(makeRaw(pty.ends.slave, c.speed));
        expectRaw(pty.ends.slave);
        termios now{};
        ASSERT_EQ(::tcgetattr(pty.ends.slave, &now), 0);
        EXPECT_EQ(::cfgetispeed(&now), c.expected);
        EXPECT_EQ(::cfgetospeed(&now), c.expected);
    }
}

TEST(MakeRaw, RefusesWhatIsNoTerminal) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    errno = 0;
    EXPECT_FALSE(makeRaw(pipeEnds[0]));
    EXPECT_EQ(errno, ENOTTY);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

}  // namespace
}  // namespace oxu::kit
