#pragma once

// One timed update against the simulated device (oxu-device-sim), served in
// turn by responders on the same kind of pseudo-terminal: the baselines (a
// bare Qt serial responder, and a raw one without Qt that shows the
// kernel's share), the update engine on the real serial layer with no
// window, and the real window Form1 under the offscreen platform. Every
// responder runs on this process's event loop; the time is the simulated
// device's own measurement, so all are timed alike.

#include <QEventLoop>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/paced_line.h"
#include "kit/child_process.h"

namespace oxu::bench {

// The outcome of one update.
struct UpdateRun {
    bool ok = false;
    std::string failure;                // what went wrong and where; empty when ok
    double timeMs = 0;                  // the device's time_ms: first header byte to completion
    std::optional<double> rttMedianUs;  // per-page round trip at the device
    std::optional<double> rttP99Us;
    std::optional<double> rttMaxUs;
    std::optional<LineReport> line;  // the paced line's report, when paced
};

// Where the simulated device program is, and how the updates run.
struct DeviceSetup {
    std::string simulator;  // path of oxu-device-sim
    std::size_t imageSize = 0;
    std::optional<long> baud;  // put a line at this rate between program and device
    std::chrono::milliseconds timeout{20000};
};

// The simulator's flags for setup: exact frame lengths (so the last page
// ends on its length, not on a quiet period), round-trip statistics and
// bounded waits. Never the simulator's own pacing: when the run is paced,
// the paced line carries every byte both ways at its rate, and a device
// paced as well would only add its own turnaround to the line's.
std::vector<std::string> simulatorFlags(const DeviceSetup& setup);

// The terminal path the simulator prints first. Throws std::runtime_error
// with what it said on standard error when none comes, having ended it.
std::string awaitDevicePath(kit::ChildProcess& simulator);

// Fills run from the simulator's output (its verdict and stats lines, read
// with the simulator's own parser). Returns false, with run.failure giving
// the device's reason, when the verdict is missing, unreadable or not ok.
bool readVerdict(const std::string& output, UpdateRun& run);

// Serves one update of the image at imagePath to the device at portPath and
// returns when the device reported completion, the update failed, or the
// timeout passed. Returns what failed, or empty when the update completed.
class Responder {
public:
    virtual ~Responder() = default;
    virtual std::string serve(const std::string& portPath, const std::string& imagePath,
                              std::chrono::milliseconds timeout) = 0;
};

// The baselines (baselines.cpp). The least Qt code that answers page
// requests: QSerialPort, the header in one write, each page frame in one
// write, stop at the completion byte.
std::unique_ptr<Responder> makeBareResponder();
// The same without Qt: poll, read and write on the terminal.
std::unique_ptr<Responder> makeRawResponder();
// oxu::WatchedUpdate on oxu::QtSerialPort with a window that shows nothing.
std::unique_ptr<Responder> makeEngineResponder();
// The real window, shown on the current (offscreen) platform; its file
// dialog answers with the image and its message boxes are answered at once.
std::unique_ptr<Responder> makeWindowResponder();

// The event loop of one update: runs until the responder reports the end,
// or the timeout passes. An end reported before the loop starts (a failure
// while starting the update) is kept, not lost.
class UpdateLoop {
public:
    // Ends the loop: with an empty failure when the update completed. Only
    // the first end counts.
    void end(std::string failure);
    // Runs the loop. Returns empty when the update completed; otherwise why
    // not, naming portPath when the timeout passed.
    std::string run(std::chrono::milliseconds timeout, const std::string& portPath);

private:
    QEventLoop m_loop;
    bool m_ended = false;
    std::string m_failure;
};

// The program's arguments with Qt's "-platform offscreen" after its name, for
// the QApplication of a program whose every window is drawn off screen, with
// or without a display. Must outlive the application it is given to.
class OffscreenArguments {
public:
    OffscreenArguments(int argc, char** argv) : m_values(argv, argv + argc) {
        m_values.insert(m_values.begin() + (argc > 0 ? 1 : 0), {m_option, m_platform});
        m_count = static_cast<int>(m_values.size());
    }
    OffscreenArguments(const OffscreenArguments&) = delete;
    OffscreenArguments& operator=(const OffscreenArguments&) = delete;

    int& count() { return m_count; }
    char** values() { return m_values.data(); }

private:
    char m_option[10] = "-platform";
    char m_platform[10] = "offscreen";
    std::vector<char*> m_values;
    int m_count = 0;
};

// Starts the simulated device (with a paced line in between when
// setup.baud is set), lets responder serve imagePath to it, and collects
// the device's verdict and round-trip figures. Never throws: every failure
// is in the result.
UpdateRun runUpdate(Responder& responder, const DeviceSetup& setup, const std::string& imagePath);

}  // namespace oxu::bench
