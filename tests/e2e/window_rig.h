#pragma once

// The real window (offscreen, its boxes answered and recorded) on the real
// serial layer, against the simulated device on a pseudo-terminal mapped to
// port 1. Shared by the end-to-end, fault and soak tests.

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/tests/recording_form.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {

using namespace std::chrono_literals;

// Runs the event loop until done() holds or timeout passes; true if it held.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Runs the event loop for a while, for checks that nothing more happens.
void spinFor(std::chrono::milliseconds span);

class WindowRig : public ::testing::Test {
protected:
    WindowRig();
    ~WindowRig() override;

    // Starts a simulated device with flags and maps port 1 to it.
    DeviceSim& startDevice(const std::vector<std::string>& flags);

    // A firmware file of size patterned bytes in the test's folder.
    std::string writeImage(const std::string& name, std::size_t size);

    // Presses "Update" and picks path in the file dialog.
    void pressUpdate(const std::string& path);

    // Waits until a box with text has been shown (count times in all).
    bool waitForBox(const std::string& text, std::chrono::milliseconds timeout = 10s,
                    int count = 1);
    int boxCount(const std::string& text) const;

    // Waits for the device's verdict (or download report) and its exit.
    ProgramResult finishDevice(DeviceSim& device, std::chrono::milliseconds timeout = 20s);

    // A whole update of a fresh image against a fresh device: byte for byte,
    // ending in "Transfert Complete" with the port released. The check every
    // fault case ends with: the same process can update again.
    void expectUpdateCompletes(std::size_t size = 1000, const std::vector<std::string>& flags = {});

    bool portOpen() const { return form->MSComm1->isOpen(); }

    TempDir files;
    std::unique_ptr<RecordingForm> form;
    std::vector<std::unique_ptr<DeviceSim>> devices;
};

}  // namespace oxu::testkit
