#pragma once

// One timed update against the simulated device, served in turn by
// responders on the same kind of pseudo-terminal: a bare Qt serial responder
// (the floor; a raw one without Qt shows the kernel's share), the update engine on the real serial
// layer with no window, and the real window Form1 under the offscreen platform. Every responder
// runs on this process's event loop; the time is the simulated device's own
// measurement, so all three are timed alike.

#include <QEventLoop>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/device_report.h"

namespace oxu::bench {

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
// oxu::UpdateTransfer on oxu::QtSerialPort with a window that shows nothing.
std::unique_ptr<Responder> makeEngineResponder();
// The real window, shown on the current (offscreen) platform; its file
// dialog answers with the image and its message boxes are recorded.
std::unique_ptr<Responder> makeWindowResponder();

// Starts the simulated device (with a paced line in between when
// setup.baud is set), lets responder serve imagePath to it, and collects
// the device's verdict and round-trip figures. Never throws: every failure
// is in the result.
UpdateRun runUpdate(Responder& responder, const DeviceSetup& setup, const std::string& imagePath);

}  // namespace oxu::bench
