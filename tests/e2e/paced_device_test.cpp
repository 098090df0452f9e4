// oxu-update against a simulated device whose line runs at a baud rate, as
// an operator rehearses before meeting the hardware: the update takes its
// line time, and a program set to another speed never completes.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kImageSize = 32 * 256;

TEST(PacedDevice, AnUpdateTakesAtLeastItsLineTime) {
    TempDir files;
    const std::string image = files.file("image.bin", patterned(kImageSize));
    DeviceSim device(OXU_DEVICE_SIM_BINARY,
                     {"--baud", "38400", "--image-size", std::to_string(kImageSize), "--save",
                      image + ".received", "--timeout", "5", "--wait", "20"});
    const auto start = std::chrono::steady_clock::now();
    const ProgramResult update = runProgram(
        OXU_UPDATE_BINARY, {"--device", device.path(), "--baud", "38400", "--timeout", "5", image});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(update.exitCode, 0) << update.out << update.err;
    const ProgramResult verdict = device.finish(10s);
    EXPECT_EQ(verdict.exitCode, 0) << verdict.out;
    EXPECT_EQ(readFile(image + ".received"), readFile(image));
    // 4 + 32 x 258 bytes at 260.4 us each: 2.15 s at the very least.
    EXPECT_GE(took, 2100ms);
}

TEST(PacedDevice, AProgramAtAnotherSpeedNeverCompletes) {
    TempDir files;
    const std::string image = files.file("image.bin", patterned(1000));
    DeviceSim device(OXU_DEVICE_SIM_BINARY, {"--baud", "38400", "--timeout", "5", "--wait", "20"});
    const ProgramResult update = runProgram(
        OXU_UPDATE_BINARY, {"--device", device.path(), "--baud", "9600", "--timeout", "1", image});
    // Nothing it could use came back: no request, so no connection.
    EXPECT_EQ(update.exitCode, 2) << update.out << update.err;
    const ProgramResult verdict = device.finish(10s);
    const std::string line = findLine(verdict.out, "verdict:");
    EXPECT_EQ(verdict.exitCode, 1) << verdict.out;
    EXPECT_NE(line.find("verdict: fail pages=0 "), std::string::npos) << line;
    EXPECT_NE(line.find(" completion=no "), std::string::npos) << line;
    EXPECT_NE(line.find("the program's line is at 9600 baud, the device's at 38400"),
              std::string::npos)
        << line;
}

}  // namespace
}  // namespace oxu::testkit
