// oxu-update with two simulated devices, one of them silent, as an operator
// reads the end of the run: the table, then how many of the ports completed,
// the same in the JSON summary; --quiet keeps the end and the failure alone.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kImageSize = 1000;  // 4 pages

std::string lastLine(const std::string& text) {
    std::istringstream in(text);
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    return last;
}

TEST(GangSummary, TwoPortsOneSilentEndWithOneOfTwoComplete) {
    TempDir files;
    const std::string image = files.file("image.bin", patterned(kImageSize));
    struct Case {
        const char* name;
        std::vector<std::string> flags;
        bool json;
    };
    const Case cases[] = {{"Json", {"--json"}, true}, {"Quiet", {"--quiet"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string size = std::to_string(kImageSize);
        DeviceSim healthy(OXU_DEVICE_SIM_BINARY, {"--image-size", size, "--timeout", "10"});
        DeviceSim silent(OXU_DEVICE_SIM_BINARY,
                         {"--image-size", size, "--timeout", "10", "--silent"});
        std::vector<std::string> args{"--timeout",    "1",        "--device",
                                      healthy.path(), "--device", silent.path()};
        args.insert(args.end(), c.flags.begin(), c.flags.end());
        args.push_back(image);
        const ProgramResult run = runProgram(OXU_UPDATE_BINARY, args, {}, 30s);
        EXPECT_EQ(run.exitCode, 5) << run.out << run.err;

        // The people's text (on standard error beside JSON) ends with the count.
        const std::string& people = c.json ? run.err : run.out;
        EXPECT_EQ(lastLine(people), "1 of 2 complete") << people;
        EXPECT_NE(run.err.find("oxu-update: COM 2: connection failed"), std::string::npos)
            << run.err;
        if (c.json) {
            const QJsonObject summary =
                QJsonDocument::fromJson(QByteArray::fromStdString(lastLine(run.out))).object();
            EXPECT_EQ(summary["record"].toString(), "summary") << run.out;
            EXPECT_EQ(summary["complete"].toInt(), 1) << run.out;
            EXPECT_EQ(summary["total"].toInt(), 2) << run.out;
        } else {
            // Quiet: no progress, no image line; the table and the count.
            EXPECT_EQ(run.out.find("page 00"), std::string::npos) << run.out;
            EXPECT_EQ(run.err.find("image \""), std::string::npos) << run.err;
            EXPECT_EQ(run.out.rfind("port ", 0), 0u) << run.out;
        }
        EXPECT_EQ(healthy.finish(10s).exitCode, 0);
        silent.stop();
    }
}

}  // namespace
}  // namespace oxu::testkit
