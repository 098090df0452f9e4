// oxu-update --download-first against the simulated device on a
// pseudo-terminal: the command, then the update on the same port, and the
// records that say so.

#include <gtest/gtest.h>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/programs.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

TEST(DownloadFirst, SendsTheCommandThenAByteExactUpdate) {
    if (kSimulator.empty())
        GTEST_SKIP() << "oxu-device-sim is not part of this build";
    TempDir files;
    const std::string image = files.file("fw.bin", patterned(1000));
    const std::string saved = files.path() + "/saved.bin";
    DeviceSim device(kSimulator, {"--download-first", "--image-size", "1000", "--save", saved});

    const ProgramResult run =
        runProgram(kUpdate, {"--download-first", "--settle", "300", "--device", device.path(),
                             "--timeout", "5", "--json", image});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("download command sent; updating in 300 ms"), std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("\"download_command\":\"sent\""), std::string::npos) << run.out;

    const ProgramResult sim = device.finish();
    const std::string verdict = findLine(sim.out, "verdict:");
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_NE(verdict.find("verdict: ok"), std::string::npos) << verdict;
    EXPECT_NE(verdict.find(" download=2f55aa "), std::string::npos) << verdict;
    EXPECT_EQ(readText(saved), readText(image));
}

}  // namespace
}  // namespace oxu::testkit
