// The simulator binary on a real pseudo-terminal, with this test playing the
// updater on the other end.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "oxu_version.h"
#include "protocol/firmware_image.h"
#include "protocol/frames.h"
#include "tests/kit/test_files.h"

namespace oxu::sim::test {
namespace {

// Guards against a hung simulator; far above anything a passing run needs.
constexpr std::chrono::seconds kGuard{30};

// oxu-device-sim as these tests read it: its first line (the terminal), then
// the rest of what it said and how it ended.
class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& args) : m_process(OXU_DEVICE_SIM, args) {}

    // The first line of stdout, without its newline; empty when none came.
    std::string readLine() {
        const std::string line = m_process.firstLine(kGuard);
        m_skipped = line.empty() ? 0 : line.size() + 1;
        return line;
    }
    // What came after that line, once the simulator has ended.
    std::string readStdout() { return ended().out.substr(m_skipped); }
    // Waits for the verdict line while the simulator still runs.
    bool waitForVerdict() { return m_process.waitForLine("verdict:", kGuard).has_value(); }
    std::string readStderr() { return ended().err; }
    // The exit status, or 128 plus the signal that ended it, as a shell says.
    int exitCode() {
        const kit::ProgramResult& result = ended();
        return result.signal != 0 ? 128 + result.signal : result.exitCode;
    }
    pid_t pid() const { return m_process.pid(); }

private:
    const kit::ProgramResult& ended() {
        if (!m_result)
            m_result = m_process.finish(kGuard);
        return *m_result;
    }

    kit::ChildProcess m_process;
    std::optional<kit::ProgramResult> m_result;
    std::size_t m_skipped = 0;
};

// Opens the simulator's terminal as the updater does: raw, at `speed`, in
// one call so that no half-made settings are ever seen.
int openPort(const std::string& path, speed_t speed, tcflag_t extraFlags = 0) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    settings.c_cflag |= extraFlags;
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

void writeAll(int fd, const Bytes& bytes) {
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Serves the update the way the program does until completion or silence.
// `alter` may change the frame for a page.
bool serveUpdate(int fd, const Bytes& image, int corruptPage = 0) {
    writeAll(fd, buildHeaderFrame(pageCount(image.size())));
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        if (poll(&watched, 1, std::chrono::milliseconds(kGuard).count()) <= 0)
            return false;
        std::uint8_t buffer[16];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        if (got == 1 && buffer[0] == kCompletionByte)
            return true;
        if (got >= 2 && buffer[0] == kFrameMark) {
            Bytes frame = buildPageFrame(pageSlice(image, buffer[1]));
            if (buffer[1] == corruptPage)
                frame[5] ^= 0x10;
            writeAll(fd, frame);
        }
    }
}

Bytes makeImage(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>(i * 13 + 5);
    return image;
}

TEST(Simulator, FullUpdateIsSavedAndTheLinkRemoved) {
    const std::string save = ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_saved.bin";
    const std::string link = ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_link";
    const Bytes image = makeImage(1000);
    Simulator sim({"--save", save, "--link", link, "--image-size", "1000", "--stats", "--order",
                   "random", "--wait", "20"});
    const std::string path = sim.readLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);

    const int fd = openPort(link, B38400);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(serveUpdate(fd, image));
    close(fd);

    const std::string out = sim.readStdout();
    EXPECT_EQ(sim.exitCode(), 0) << out << sim.readStderr();
    EXPECT_EQ(out.rfind("verdict: ok pages=4 announced=4 bytes=1000 checksum_errors=0", 0), 0u)
        << out;
    EXPECT_NE(out.find(" settings=38400,n,8,1 port_closed=yes"), std::string::npos) << out;
    EXPECT_NE(out.find("\nstats: rtt_count=4 "), std::string::npos) << out;
    EXPECT_EQ(testkit::readFile(save), image);
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0);
    std::remove(save.c_str());
}

TEST(Simulator, LingersPluggedInAfterTheVerdictUntilASignal) {
    const std::string link = ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_linger";
    const Bytes image = makeImage(300);
    Simulator sim({"--link", link, "--image-size", "300", "--wait", "20", "--linger", "60"});
    ASSERT_FALSE(sim.readLine().empty());
    const int fd = openPort(link, B38400);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(serveUpdate(fd, image));
    close(fd);
    ASSERT_TRUE(sim.waitForVerdict());
    // The board is still there: its link leads to a terminal.
    struct stat info {};
    ASSERT_EQ(stat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    kill(sim.pid(), SIGTERM);
    const std::string out = sim.readStdout();
    EXPECT_EQ(sim.exitCode(), 0) << out << sim.readStderr();
    EXPECT_EQ(out.rfind("verdict: ok pages=2", 0), 0u) << out;
    EXPECT_NE(lstat(link.c_str(), &info), 0);
}

TEST(Simulator, CorruptedPageFailsNamingIt) {
    const std::string save = ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_bad.bin";
    std::remove(save.c_str());
    Simulator sim({"--save", save, "--timeout", "0.5", "--wait", "20"});
    const int fd = openPort(sim.readLine(), B19200);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(serveUpdate(fd, makeImage(700), 2));  // no completion comes
    close(fd);
    const std::string out = sim.readStdout();
    EXPECT_EQ(sim.exitCode(), 1);
    EXPECT_NE(out.find("verdict: fail"), std::string::npos) << out;
    EXPECT_NE(out.find("reason=\"page 2: checksum"), std::string::npos) << out;
    EXPECT_NE(sim.readStderr().find("not saved"), std::string::npos);
    EXPECT_NE(access(save.c_str(), F_OK), 0);
}

TEST(Simulator, BadUsageExitsTwoWithAMessage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--timeout", "soon"},
        {"--expect-image", "/nonexistent/image.bin"},
        {"--save", "/nonexistent/saved.bin"},
        {"--link", "/"},
    };
    for (const auto& args : cases) {
        Simulator sim(args);
        const std::string err = sim.readStderr();
        EXPECT_EQ(sim.exitCode(), 2) << args.front();
        EXPECT_EQ(err.rfind("oxu-device-sim: ", 0), 0u) << err;
        EXPECT_TRUE(sim.readStdout().empty());
    }
}

TEST(Simulator, VersionNamesTheProgramAndTheProjectVersion) {
    Simulator sim({"--version"});
    EXPECT_EQ(sim.readStdout(), std::string("oxu-device-sim ") + oxu::kVersion + "\n");
    EXPECT_EQ(sim.exitCode(), 0);
}

std::string linkTarget(const std::string& path) {
    char target[PATH_MAX] = {};
    return readlink(path.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

TEST(Simulator, LinkLeavesAloneWhatIsNotAStaleTerminalLink) {
    const std::string link =
        ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_taken_link";
    const std::string file =
        ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_taken_file";
    std::ofstream(file) << "firmware";
    struct Case {
        std::function<int()> place;  // what stands at the path; 0 when done
        std::string there;           // how the message names it
    };
    const Case cases[] = {
        {[&] { return symlink("/dev/null", link.c_str()); }, "a link to /dev/null"},
        {[&] { return symlink(file.c_str(), link.c_str()); }, "a link to " + file},
        {[&] { return symlink("/nonexistent/ttyUSB0", link.c_str()); },
         "a link to /nonexistent/ttyUSB0"},
        {[&] { return std::ofstream(link) << "mine" ? 0 : -1; }, "a file"},
        {[&] { return mkdir(link.c_str(), 0700); }, "a directory"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.place(), 0) << c.there;
        struct stat before {};
        lstat(link.c_str(), &before);
        Simulator sim({"--link", link, "--wait", "0.1"});
        const std::string err = sim.readStderr();
        EXPECT_EQ(sim.exitCode(), 2) << err;
        EXPECT_TRUE(sim.readStdout().empty());
        EXPECT_NE(err.find("\"" + link + "\""), std::string::npos) << err;
        EXPECT_NE(err.find(c.there + " is already there"), std::string::npos) << err;
        struct stat after {};
        ASSERT_EQ(lstat(link.c_str(), &after), 0) << c.there;
        EXPECT_EQ(after.st_ino, before.st_ino) << c.there;
        std::remove(link.c_str());
    }
    std::remove(file.c_str());
}

TEST(Simulator, LinkLeftByAKilledRunIsReplaced) {
    const std::string link =
        ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_stale_link";
    // A terminal number far above any in use: its terminal is surely gone.
    const std::string goneTerminal = "/dev/pts/4242424";
    std::remove(link.c_str());
    ASSERT_EQ(symlink(goneTerminal.c_str(), link.c_str()), 0);
    for (int run = 0; run < 2; ++run) {
        Simulator sim({"--link", link, "--wait", run == 0 ? "20" : "0.1"});
        const std::string path = sim.readLine();
        ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path << sim.readStderr();
        EXPECT_EQ(linkTarget(link), path);
        if (run == 0) {
            kill(sim.pid(), SIGKILL);
            EXPECT_EQ(sim.exitCode(), 128 + SIGKILL);
            EXPECT_EQ(linkTarget(link), path);
            // The killed run's terminal number is free again, and any program
            // (a test running beside this one) may take it and rightly keep the
            // next run off it; so the left link is pointed at a number nobody
            // holds, the case the next run must meet.
            ASSERT_EQ(std::remove(link.c_str()), 0);
            ASSERT_EQ(symlink(goneTerminal.c_str(), link.c_str()), 0);
        } else {
            EXPECT_EQ(sim.exitCode(), 1);  // nobody came within --wait
        }
    }
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0);
}

TEST(Simulator, DownloadModeReportsBytesAndSettings) {
    struct Case {
        Bytes sent;
        speed_t speed;
        tcflag_t frameFlags;  // over 8 data bits, no parity, 1 stop bit
        int exitCode;
        const char* start;
        std::vector<std::string> flags = {};
        const char* reason = "";  // a part of it
    };
    const Case cases[] = {
        {{0x2F, 0x55, 0xAA}, B19200, 0, 0, "download: ok bytes=2f55aa settings=19200,n,8,1"},
        // The kernel keeps a pty at 8 data bits and no parity; stop bits stick.
        {{0x2F, 0x55, 0xAA}, B9600, CSTOPB, 0, "download: ok bytes=2f55aa settings=9600,n,8,2"},
        {{0x2F, 0xAA}, B38400, 0, 1, "download: fail bytes=2faa settings=38400,n,8,1"},
        // Heard at the device's own speed, from settings read before the close.
        {{0x2F, 0x55, 0xAA},
         B9600,
         0,
         1,
         "download: fail ",
         {"--baud", "38400"},
         " settings=9600,n,8,1 port_closed=yes reason=\"expected the download command 2f 55 aa, "
         "got "},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--expect-download", "--wait", "20", "--timeout", "0.5"};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        Simulator sim(args);
        const int fd = openPort(sim.readLine(), c.speed, c.frameFlags);
        ASSERT_GE(fd, 0);
        termios settings{};
        tcgetattr(fd, &settings);
        // Write and close at once, restoring the settings as the program's
        // port does: the simulator must have read them before.
        termios original = settings;
        cfsetospeed(&original, B0);
        writeAll(fd, c.sent);
        tcsetattr(fd, TCSANOW, &original);
        close(fd);
        const std::string out = sim.readStdout();
        EXPECT_EQ(sim.exitCode(), c.exitCode) << out;
        EXPECT_EQ(out.rfind(c.start, 0), 0u) << out;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
    }
}

TEST(Simulator, TerminationSignalEndsTheWaitAndRemovesTheLink) {
    const std::string link = ::testing::TempDir() + std::to_string(getpid()) + "_oxu_sim_signal";
    Simulator sim({"--link", link});
    ASSERT_FALSE(sim.readLine().empty());
    kill(sim.pid(), SIGTERM);
    const std::string out = sim.readStdout();
    EXPECT_EQ(sim.exitCode(), 1);
    EXPECT_NE(out.find("interrupted by a signal"), std::string::npos) << out;
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0);
}

}  // namespace
}  // namespace oxu::sim::test
