#pragma once

// One timed update against the simulated device, served in turn by
// responders on the same kind of pseudo-terminal: a bare Qt serial responder
// (the floor; a raw one without Qt shows the kernel's share), the update engine on the real serial
// layer with no window, and the real window Form1 under the offscreen platform. Every responder
// runs on this process's event loop; the time is the simulated device's own
// measurement, so all three are timed alike.

#include <QObject>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/device_report.h"

namespace oxu::bench {

// Serves one update of the image at imagePath to the device at portPath and
// returns when the device reported completion, the update failed, or the
// timeout passed. Returns what failed, or empty when the update completed.
class Responder {
public:
    virtual ~Responder() = default;
    virtual std::string serve(const std::string& portPath, const std::string& imagePath,
                              std::chrono::milliseconds timeout) = 0;
};

// The same without Qt: poll, read and write on the terminal.
std::unique_ptr<Responder> makeRawResponder();
// The least Qt code that answers page requests: QSerialPort, the header in one
// write, each page frame in one write, stop at the completion byte.
std::unique_ptr<Responder> makeBareResponder();
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
