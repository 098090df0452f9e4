// oxu-update with two simulated devices, one of them silent, as an operator
// reads the end of the run: the table, then how many of the ports completed,
// and the same count in the JSON summary.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <sstream>
#include <string>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;

std::string lastLine(const std::string& text) {
    std::istringstream in(text);
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    return last;
}

TEST(GangSummary, TwoPortsOneSilentEndWithOneOfTwoComplete) {
    TempDir files;
    const std::string image = files.file("image.bin", patterned(1000));
    DeviceSim healthy(OXU_DEVICE_SIM_BINARY, {"--image-size", "1000", "--timeout", "10"});
    DeviceSim silent(OXU_DEVICE_SIM_BINARY,
                     {"--image-size", "1000", "--timeout", "10", "--silent"});
    const ProgramResult run = runProgram(
        OXU_UPDATE_BINARY,
        {"--json", "--timeout", "1", "--device", healthy.path(), "--device", silent.path(), image},
        {}, 30s);
    EXPECT_EQ(run.exitCode, 5) << run.out << run.err;

    // People's text (on standard error beside the JSON) ends with the count.
    EXPECT_NE(run.err.find("oxu-update: COM 2: connection failed\n"), std::string::npos) << run.err;
    EXPECT_EQ(lastLine(run.err), "1 of 2 complete") << run.err;
    const QJsonObject summary =
        QJsonDocument::fromJson(QByteArray::fromStdString(lastLine(run.out))).object();
    EXPECT_EQ(summary["record"].toString(), "summary") << run.out;
    EXPECT_EQ(summary["complete"].toInt(), 1) << run.out;
    EXPECT_EQ(summary["total"].toInt(), 2) << run.out;
    EXPECT_EQ(healthy.finish(10s).exitCode, 0);
    silent.stop();
}

}  // namespace
}  // namespace oxu::testkit
