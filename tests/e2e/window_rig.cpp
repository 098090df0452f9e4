#include "tests/e2e/window_rig.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace oxu::testkit {

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QTest::qWait(5);
    }
    return true;
}

void spinFor(std::chrono::milliseconds span) {
    spinUntil([] { return false; }, span);
}

WindowRig::WindowRig() : form(std::make_unique<RecordingForm>()) {}

WindowRig::~WindowRig() {
    form.reset();
    for (auto& device : devices)
        device->stop();
    ::unsetenv("OXU_COM1");
}

DeviceSim& WindowRig::startDevice(const std::vector<std::string>& flags) {
    devices.push_back(std::make_unique<DeviceSim>(OXU_DEVICE_SIM_BINARY, flags));
    ::setenv("OXU_COM1", devices.back()->path().c_str(), 1);
    return *devices.back();
}

std::string WindowRig::writeImage(const std::string& name, std::size_t size) {
    return files.file(name, patterned(size));
}

void WindowRig::pressUpdate(const std::string& path) {
    form->chosenFile = path;
    form->Command2->click();
}

int WindowRig::boxCount(const std::string& text) const {
    const auto texts = form->boxTexts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

bool WindowRig::waitForBox(const std::string& text, std::chrono::milliseconds timeout, int count) {
    return spinUntil([&] { return boxCount(text) >= count; }, timeout);
}

ProgramResult WindowRig::finishDevice(DeviceSim& device, std::chrono::milliseconds timeout) {
    using Stream = ChildProcess::Stream;
    spinUntil(
        [&] {
            return device.process().waitForOutput(Stream::Out, "verdict:", 1ms) ||
                   device.process().waitForOutput(Stream::Out, "download:", 1ms);
        },
        timeout);
    return device.finish(5s);
}

void WindowRig::expectUpdateCompletes(std::size_t size, const std::vector<std::string>& flags) {
    const std::string image = writeImage("next-" + std::to_string(devices.size()) + ".bin", size);
    const std::string saved = image + ".received";
    std::vector<std::string> all = {"--image-size", std::to_string(size), "--save",
                                    saved,          "--timeout",          "5"};
    all.insert(all.end(), flags.begin(), flags.end());
    DeviceSim& device = startDevice(all);
    const int before = boxCount("Transfert Complete");
    pressUpdate(image);
    EXPECT_TRUE(waitForBox("Transfert Complete", 20s, before + 1))
        << ::testing::PrintToString(form->boxTexts());
    const ProgramResult result = finishDevice(device);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(readFile(saved), patterned(size)) << "received image differs";
    EXPECT_FALSE(portOpen());
    EXPECT_EQ(form->Label2->text().toStdString(), "");
}

}  // namespace oxu::testkit
