// oxu-update with several ports at once, retries, JSON, the audit log and
// station mode, run as a user runs it against simulated devices, each on its
// own pseudo-terminal.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

const std::string kUpdate = OXU_UPDATE_BINARY;
#ifdef OXU_DEVICE_SIM_BINARY
const std::string kSimulator = OXU_DEVICE_SIM_BINARY;
#else
const std::string kSimulator;
#endif

constexpr std::size_t kImageSize = 1000;  // 4 pages

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Every line of text as a JSON object; a line that is not one fails the test.
std::vector<QJsonObject> parseJsonLines(const std::string& text) {
    std::vector<QJsonObject> objects;
    for (const std::string& line : splitLines(text)) {
        QJsonParseError error{};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << "not JSON: " << line;
        EXPECT_TRUE(document.isObject()) << line;
        objects.push_back(document.object());
    }
    return objects;
}

// The objects whose "record" is `kind`.
std::vector<QJsonObject> records(const std::vector<QJsonObject>& objects, const char* kind) {
    std::vector<QJsonObject> found;
    for (const QJsonObject& object : objects) {
        if (object["record"].toString() == kind)
            found.push_back(object);
    }
    return found;
}

class GangTest : public testing::Test {
protected:
    void SetUp() override {
        if (kSimulator.empty())
            GTEST_SKIP() << "oxu-device-sim is not part of this build";
        m_image = m_files.file("fw.bin", patterned(kImageSize));
    }

    std::string pathTo(const std::string& name) const { return m_files.path() + "/" + name; }

    // A simulated device that checks every frame's length and saves what it
    // received to `saved` (when given).
    std::unique_ptr<DeviceSim> startDevice(std::vector<std::string> faults,
                                           const std::string& saved = {}) {
        std::vector<std::string> flags{"--image-size", std::to_string(kImageSize), "--timeout",
                                       "10"};
        if (!saved.empty())
            flags.insert(flags.end(), {"--save", saved});
        flags.insert(flags.end(), faults.begin(), faults.end());
        return std::make_unique<DeviceSim>(kSimulator, flags);
    }

    TempDir m_files;
    std::string m_image;
};

TEST_F(GangTest, EightMixedDevicesEachGetTheirOwnResult) {
    struct Device {
        std::vector<std::string> faults;
        const char* result;
    };
    const Device devices[] = {
        {{}, "complete"}, {{"--silent"}, "connection_failed"},
        {{}, "complete"}, {{"--hangup-mid-page", "1"}, "port_lost"},
        {{}, "complete"}, {{"--stop-after", "2"}, "transfer_interrupted"},
        {{}, "complete"}, {{}, "complete"},
    };
    std::vector<std::unique_ptr<DeviceSim>> sims;
    std::vector<std::string> args{"--timeout", "1.5", "--json", "--log", pathTo("audit.jsonl")};
    for (std::size_t i = 0; i < std::size(devices); ++i) {
        sims.push_back(startDevice(devices[i].faults, pathTo("saved" + std::to_string(i))));
        args.insert(args.end(), {"--device", sims.back()->path()});
    }
    args.push_back(m_image);
    const ProgramResult run = runProgram(kUpdate, args, {}, 60s);
    EXPECT_EQ(run.exitCode, 5) << run.err;

    // Standard output: JSON alone, an attempt per port, then the summary.
    const std::vector<QJsonObject> lines = parseJsonLines(run.out);
    const std::vector<QJsonObject> attempts = records(lines, "attempt");
    ASSERT_EQ(attempts.size(), 8u) << run.out;
    ASSERT_EQ(lines.size(), 9u) << run.out;
    EXPECT_EQ(lines.back()["record"].toString(), "summary");
    EXPECT_EQ(lines.back()["complete"].toInt(), 5);
    EXPECT_EQ(lines.back()["failed"].toInt(), 3);
    EXPECT_EQ(lines.back()["exit_code"].toInt(), 5);
    for (const QJsonObject& attempt : attempts) {
        const int port = attempt["port"].toInt();
        ASSERT_TRUE(port >= 1 && port <= 8) << port;
        EXPECT_EQ(attempt["result"].toString().toStdString(), devices[port - 1].result)
            << "port " << port << ": " << run.err;
        EXPECT_EQ(attempt["device"].toString().toStdString(), sims[port - 1]->path());
    }

    // The five healthy devices got the image byte for byte.
    for (std::size_t i = 0; i < sims.size(); ++i) {
        const ProgramResult sim = sims[i]->finish();
        if (std::string(devices[i].result) == "complete") {
            EXPECT_EQ(sim.exitCode, 0) << i << ": " << sim.out << sim.err;
            EXPECT_EQ(readText(pathTo("saved" + std::to_string(i))), readText(m_image)) << i;
        }
    }

    // The log: exactly eight whole records, the same as the attempts printed.
    const std::string log = readText(pathTo("audit.jsonl"));
    const std::vector<QJsonObject> logged = parseJsonLines(log);
    ASSERT_EQ(logged.size(), 8u) << log;
    EXPECT_EQ(log.back(), '\n');
    const QString sha256 =
        QString::fromLatin1(QCryptographicHash::hash(QByteArray::fromStdString(readText(m_image)),
                                                     QCryptographicHash::Sha256)
                                .toHex());
    for (const QJsonObject& record : logged) {
        EXPECT_EQ(record["record"].toString(), "attempt");
        EXPECT_EQ(record["firmware"]["sha256"].toString(), sha256);
        EXPECT_EQ(record["firmware"]["bytes"].toInt(), static_cast<int>(kImageSize));
        EXPECT_EQ(record["baud"].toInt(), 38400);
        EXPECT_FALSE(record["host"].toString().isEmpty());
        EXPECT_TRUE(record["time"].toString().endsWith('Z'));
        EXPECT_EQ(record["version"].toString(), "1.00");
    }

    // People's text went to standard error: a line per event naming its
    // port, each failure once, and the summary table.
    EXPECT_NE(run.err.find("COM 1: page 004/004"), std::string::npos) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "COM 2: Connection Failed"), 1) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "COM 6: Transfer Interrupted"), 1) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "oxu-update: COM 4: The connection to COM 4 ("), 1)
        << run.err;
    EXPECT_NE(run.err.find("\nport "), std::string::npos) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "  complete  "), 5) << run.err;
}

TEST_F(GangTest, RetryStartsOnlyTheFailedPortAgain) {
    auto healthy = startDevice({}, pathTo("healthy.bin"));
    auto comeback = startDevice({"--silent-first", "1"}, pathTo("comeback.bin"));
    const ProgramResult run = runProgram(kUpdate,
                                         {"--retry", "2", "--timeout", "1", "--json", "--device",
                                          healthy->path(), "--device", comeback->path(), m_image},
                                         {}, 60s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::vector<QJsonObject> lines = parseJsonLines(run.out);
    const std::vector<QJsonObject> attempts = records(lines, "attempt");
    ASSERT_EQ(attempts.size(), 3u) << run.out;
    const QJsonArray results = lines.back()["results"].toArray();
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(results[0]["result"].toString(), "complete");
    EXPECT_EQ(results[0]["retries"].toInt(), 0);
    EXPECT_EQ(results[1]["result"].toString(), "complete");
    EXPECT_EQ(results[1]["retries"].toInt(), 1);
    EXPECT_EQ(countOccurrences(run.err, "COM 2: connection failed; starting again"), 1) << run.err;
    // The summary: port 2 completed on its second attempt.
    EXPECT_TRUE(
        std::regex_search(run.err, std::regex("\nCOM 2 .* complete +4/4 +1,012 +[0-9.]+ +1\n")))
        << run.err;

    EXPECT_EQ(healthy->finish().exitCode, 0);
    const ProgramResult sim = comeback->finish();
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_NE(findLine(sim.out, "verdict:").find(" updates=2 "), std::string::npos) << sim.out;
    EXPECT_EQ(readText(pathTo("comeback.bin")), readText(m_image));
}

TEST_F(GangTest, OnePortRetriesAndKeepsItsOwnExitCodes) {
    struct Case {
        const char* name;
        std::vector<std::string> faults;
        int exitCode;
        int attempts;
        const char* lastResult;
    };
    const Case cases[] = {
        {"SilentOnceThenHealthy", {"--silent-first", "1"}, 0, 2, "complete"},
        {"SilentEveryTime", {"--silent-first", "5"}, 2, 2, "connection_failed"},
    };
    for (const Case& c : cases) {
        auto device = startDevice(c.faults);
        const ProgramResult run = runProgram(
            kUpdate,
            {"--retry", "1", "--timeout", "1", "--json", "--device", device->path(), m_image}, {},
            30s);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.err;
        const std::vector<QJsonObject> lines = parseJsonLines(run.out);
        const std::vector<QJsonObject> attempts = records(lines, "attempt");
        ASSERT_EQ(attempts.size(), static_cast<std::size_t>(c.attempts)) << c.name << run.out;
        EXPECT_EQ(attempts.back()["result"].toString(), c.lastResult) << c.name;
        EXPECT_EQ(attempts.back()["retries"].toInt(), 1) << c.name;
        EXPECT_EQ(lines.back()["mode"].toString(), "single") << c.name;
        // The one-port messages as ever, and the new attempt said once.
        EXPECT_EQ(countOccurrences(run.err, "oxu-update: Connection Failed"),
                  c.attempts - 1 + (c.exitCode != 0))
            << c.name << ": " << run.err;
        EXPECT_EQ(countOccurrences(run.err, "starting again in 0.5 s (attempt 2 of 2)"), 1)
            << c.name << ": " << run.err;
        device->stop();
    }
}

TEST_F(GangTest, ABusyPortSaysSoAndTheOthersGoAhead) {
    auto first = startDevice({}, pathTo("first.bin"));
    auto busy = startDevice({});
    QSerialPort holder;
    holder.setPortName(QString::fromStdString(busy->path()));
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite)) << holder.errorString().toStdString();

    const ProgramResult run =
        runProgram(kUpdate, {"--port", "4", "--port", "9", "--device", first->path(), "--device",
                             busy->path(), m_image});
    EXPECT_EQ(run.exitCode, 5) << run.err;
    // Without a terminal: a plain line per event on standard output, each
    // naming its port, then the table.
    EXPECT_NE(run.out.find("COM 4: page 001/004\nCOM 4: page 002/004\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("COM 9: page"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_search(lines[lines.size() - 3], std::regex("^port +device +adapter")))
        << run.out;
    EXPECT_EQ(lines[lines.size() - 2].rfind("COM 4 ", 0), 0u) << run.out;
    EXPECT_NE(lines[lines.size() - 2].find("complete"), std::string::npos) << run.out;
    EXPECT_EQ(lines.back().rfind("COM 9 ", 0), 0u) << run.out;
    EXPECT_NE(lines.back().find("could not start"), std::string::npos) << run.out;
    EXPECT_NE(lines.back().find("in use"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("oxu-update: COM 9: the update could not start: Cannot open COM 9"),
              std::string::npos)
        << run.err;

    EXPECT_EQ(first->finish().exitCode, 0);
    EXPECT_EQ(readText(pathTo("first.bin")), readText(m_image));
    holder.close();
    busy->stop();
}

TEST_F(GangTest, PortsThatShareADeviceAreRefusedBeforeAnythingOpens) {
    auto device = startDevice({});
    std::filesystem::create_symlink(device->path(), pathTo("link"));
    const std::vector<std::vector<std::string>> lines = {
        {"--device", device->path(), "--device", device->path()},
        {"--device", device->path(), "--device", pathTo("link")},
        {"--port", "2", "--port", "3"},
    };
    for (const auto& ports : lines) {
        std::vector<std::string> args{"--trace"};
        args.insert(args.end(), ports.begin(), ports.end());
        args.push_back(m_image);
        const ProgramResult run =
            runProgram(kUpdate, args, {{"OXU_COM2", device->path()}, {"OXU_COM3", pathTo("link")}});
        EXPECT_EQ(run.exitCode, 64) << run.err;
        EXPECT_NE(run.err.find("are the same device"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("] >"), std::string::npos) << "nothing may be sent: " << run.err;
        EXPECT_EQ(run.out, "");
    }
    device->stop();
}

TEST_F(GangTest, ALogThatCannotBeWrittenStopsTheRunBeforeAnyPortOpens) {
    auto device = startDevice({});
    const ProgramResult run =
        runProgram(kUpdate, {"--trace", "--log", pathTo("no-such-dir/audit.jsonl"), "--device",
                             device->path(), m_image});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("audit log"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(pathTo("no-such-dir/audit.jsonl")), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("] >"), std::string::npos) << "nothing may be sent: " << run.err;
    device->stop();
}

TEST_F(GangTest, AWriterKilledMidRunLeavesOnlyWholeRecords) {
    std::vector<std::unique_ptr<DeviceSim>> sims;
    std::vector<std::string> args{"--timeout", "60", "--log", pathTo("audit.jsonl")};
    // Three finish at once; the fourth keeps the run going until it is killed.
    for (const char* fault : {"", "", "", "--silent"}) {
        sims.push_back(
            startDevice(fault[0] ? std::vector<std::string>{fault} : std::vector<std::string>{}));
        args.insert(args.end(), {"--device", sims.back()->path()});
    }
    args.push_back(m_image);
    ChildProcess update(kUpdate, args);
    const std::string log = pathTo("audit.jsonl");
    for (int waited = 0; waited < 200 && splitLines(readText(log)).size() < 3; ++waited)
        std::this_thread::sleep_for(50ms);
    update.sendSignal(SIGKILL);
    const ProgramResult run = update.finish(10s);
    EXPECT_EQ(run.signal, SIGKILL);

    const std::string written = readText(log);
    EXPECT_EQ(parseJsonLines(written).size(), 3u) << written;
    EXPECT_EQ(written.back(), '\n');
    for (auto& sim : sims)
        sim->stop();
}

TEST_F(GangTest, StationModeFlashesEachBoardOnceAsItIsSwapped) {
    const std::string socket = pathTo("by-path-usb-0:2:1.0-port0");
    ChildProcess station(kUpdate, {"--wait", "--timeout", "2", "--json", "--log",
                                   pathTo("audit.jsonl"), "--device", socket, m_image});
    constexpr int kBoards = 3;
    for (int board = 0; board < kBoards; ++board) {
        // The board goes in: its device appears behind the same link.
        const std::string saved = pathTo("board" + std::to_string(board) + ".bin");
        DeviceSim device(kSimulator, {"--image-size", std::to_string(kImageSize), "--link", socket,
                                      "--save", saved});
        const ProgramResult sim = device.finish(20s);
        EXPECT_EQ(sim.exitCode, 0)
            << board << ": " << sim.out << sim.err << station.output(Stream::Err);
        EXPECT_EQ(readText(saved), readText(m_image)) << board;
        // It is taken out (the simulator removed the link); the station says
        // so before the next board goes in.
        ASSERT_TRUE(station.waitForOutput(
            Stream::Err, "station: " + std::to_string(board + 1) + " flashed", 10s))
            << station.output(Stream::Err);
        const auto waiting = [&] {
            return countOccurrences(station.output(Stream::Err), "COM 1: waiting for a device");
        };
        for (int tries = 0; tries < 100 && waiting() < board + 2; ++tries)
            station.waitForOutput(Stream::Out, "never printed", 100ms);
        ASSERT_EQ(waiting(), board + 2) << station.output(Stream::Err);
    }
    station.sendSignal(SIGINT);
    const ProgramResult run = station.finish(20s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("station: 3 flashed, 0 failed"), std::string::npos) << run.err;
    const std::vector<QJsonObject> lines = parseJsonLines(run.out);
    EXPECT_EQ(records(lines, "attempt").size(), 3u) << run.out;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["mode"].toString(), "station");
    EXPECT_EQ(lines.back()["complete"].toInt(), 3);
    EXPECT_EQ(lines.back()["exit_code"].toInt(), 0);
    EXPECT_EQ(parseJsonLines(readText(pathTo("audit.jsonl"))).size(), 3u);
}

}  // namespace
}  // namespace oxu::testkit
