#pragma once

// A serial line at a fixed baud rate between the program and the simulated
// device. A pseudo-terminal has no speed: bytes cross it as fast as they are
// written. The paced line sits in the middle, offering the program its own
// pseudo-terminal and forwarding every byte to the device's terminal, and
// back, no sooner than a real line of 10 bits a byte would carry it, byte
// after byte without gaps while bytes are queued. It also measures the
// update as the line sees it: from the program's first byte to the last
// byte delivered, against the time the bytes it carried occupy the line.

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>

namespace oxu::bench {

struct LineReport {
    std::uint64_t bytesToDevice = 0;   // carried from the program to the device
    std::uint64_t bytesToProgram = 0;  // carried from the device to the program
    // From the program's first byte entering the line to the last byte
    // (either way) leaving it; zero when the program sent nothing.
    std::chrono::nanoseconds busy{0};
    // The same two moments on CLOCK_MONOTONIC (steady_clock), so that the
    // lines of several devices updated at once give one span; zero when the
    // program sent nothing.
    std::chrono::nanoseconds firstByteIn{0};
    std::chrono::nanoseconds lastByteOut{0};
    // The CPU the line's own thread used, to tell whether many lines at
    // once are limited by the machine rather than by the program.
    std::chrono::nanoseconds cpu{0};
    // busy / (all bytes x byte time): 1.0 means no turnaround cost at all.
    double ratio = 0;
    std::string failure;  // why the line stopped early; empty when it did not
};

class PacedLine {
public:
    // Opens a new pseudo-terminal for the program and the device's terminal
    // at devicePath, and starts carrying bytes at baud (10 bits a byte).
    // Throws std::runtime_error naming the terminal that could not be opened.
    PacedLine(const std::string& devicePath, long baud);
    // Stops carrying and closes both ends.
    ~PacedLine();
    PacedLine(const PacedLine&) = delete;
    PacedLine& operator=(const PacedLine&) = delete;

    // The terminal the program opens, e.g. /dev/pts/7.
    const std::string& programPath() const { return m_programPath; }

    // Waits (at most timeout) until the program has closed its terminal and
    // every byte it sent has reached the device, closes the device's end so
    // that the device sees the port close, and reports. Call once.
    LineReport finish(std::chrono::milliseconds timeout);

    // The time one byte occupies the line at baud.
    static std::chrono::nanoseconds byteTime(long baud);

private:
    void carry();

    std::string m_programPath;
    int m_master = -1;       // the program's terminal, our end
    int m_programSide = -1;  // held open until the program speaks (see carry)
    int m_device = -1;       // the device's terminal
    int m_stopEvent = -1;    // eventfd: finish() or the destructor wants the thread to end
    std::chrono::nanoseconds m_byteTime;
    std::promise<void> m_ended;  // set by the carrying thread as it ends
    LineReport m_report;
    std::thread m_thread;
};

}  // namespace oxu::bench
