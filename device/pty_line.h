#pragma once

// The device's end of a pseudo-terminal pair: the simulator holds the master
// and the program opens the slave (/dev/pts/N) as its serial port.

#include <csignal>
#include <string>

#include "device/line.h"

namespace oxu::sim {

class PtyLine final : public Line {
public:
    // Speed the line is left at until the program configures it. Nobody
    // selects 50 baud, so seeing it means the program had already closed the
    // port (and its settings were restored) when they were read.
    static constexpr long kIdleBaud = 50;

    // Opens a pair in raw mode. `waitMask` is the signal mask to wait with:
    // termination signals blocked elsewhere are let through only while
    // waiting, so they cut a wait short without a race. Throws LineError.
    explicit PtyLine(const sigset_t& waitMask);
    ~PtyLine() override;
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // The path the program opens, for example /dev/pts/5.
    const std::string& slavePath() const { return m_slavePath; }

    // Holds back every byte the program writes from now until awaitSettings()
    // has seen its settings, and watches for the program opening its end. A
    // program that writes and closes at once would otherwise have restored
    // its settings before they could be read. Throws LineError.
    void holdOutputForSettings();

    ReadStatus read(Bytes& into, std::chrono::microseconds timeout) override;
    void write(ByteView data) override;
    std::optional<LineSettings> awaitSettings(std::chrono::microseconds timeout) override;
    std::optional<LineSettings> currentSettings() const override;
    void releaseHold() override;
    void hangUp() override;
    bool pause(std::chrono::microseconds duration) override;
    std::chrono::microseconds now() const override;

private:
    int m_master = -1;
    // Held until the program has the slave open: with no slave open at all,
    // the master reports a hang-up continuously.
    int m_slave = -1;
    std::string m_slavePath;
    sigset_t m_waitMask;
    int m_openWatch = -1;  // inotify: the program opened the slave
    bool m_outputHeld = false;

    void releaseOutput();
};

// The settings of the terminal behind fd, with the speed as the kernel keeps
// it (any rate, not only the standard ones). Nothing when they cannot be read.
std::optional<LineSettings> readLineSettings(int fd);

// Set by the termination signal handler that main() installs.
extern volatile std::sig_atomic_t g_terminationSignal;

}  // namespace oxu::sim
