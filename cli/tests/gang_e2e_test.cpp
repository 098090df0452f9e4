// oxu-update with several ports at once, retries, JSON, the audit log and
// station mode, run as a user runs it against simulated devices, each on its
// own pseudo-terminal.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSerialPort>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <thread>

#include "kit/child_process.h"
#include "tests/kit/device_sim.h"
#include "tests/kit/json_lines.h"
#include "tests/kit/programs.h"
#include "tests/kit/pty_pair.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

constexpr std::size_t kImageSize = 1000;  // 4 pages

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

    // The log: exactly eight whole attempt records, the same as the attempts
    // printed, each after its start record.
    const std::string log = readText(pathTo("audit.jsonl"));
    const std::vector<QJsonObject> logged = parseJsonLines(log);
    ASSERT_EQ(logged.size(), 16u) << log;
    ASSERT_EQ(records(logged, "attempt").size(), 8u) << log;
    ASSERT_EQ(records(logged, "attempt-start").size(), 8u) << log;
    EXPECT_EQ(log.back(), '\n');
    const QString sha256 =
        QString::fromLatin1(QCryptographicHash::hash(QByteArray::fromStdString(readText(m_image)),
                                                     QCryptographicHash::Sha256)
                                .toHex());
    for (const QJsonObject& record : logged) {
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
    EXPECT_EQ(countOccurrences(run.err, "oxu-update: COM 2: connection failed\n"), 1) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "oxu-update: COM 6: transfer interrupted\n"), 1) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "oxu-update: COM 4: The connection to COM 4 ("), 1)
        << run.err;
    EXPECT_NE(run.err.find("\nport "), std::string::npos) << run.err;
    EXPECT_EQ(countOccurrences(run.err, "  complete  "), 5) << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - 16), "5 of 8 complete\n") << run.err;
    EXPECT_EQ(lines.back()["total"].toInt(), 8);
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
    EXPECT_TRUE(std::regex_search(
        run.err, std::regex("\nCOM 2 +complete +4/4 +1,012 +[0-9.]+ +1 +" + comeback->path())))
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
        EXPECT_EQ(countOccurrences(run.err, "oxu-update: connection failed\n"),
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
    // The table: a row per port, what went wrong below it (without the
    // port and device again), then the count.
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_TRUE(std::regex_search(lines[lines.size() - 5], std::regex("^port +result +pages")))
        << run.out;
    EXPECT_EQ(lines[lines.size() - 4].rfind("COM 4 ", 0), 0u) << run.out;
    EXPECT_NE(lines[lines.size() - 4].find("complete"), std::string::npos) << run.out;
    EXPECT_EQ(lines[lines.size() - 3].rfind("COM 9 ", 0), 0u) << run.out;
    EXPECT_NE(lines[lines.size() - 3].find("could not start"), std::string::npos) << run.out;
    EXPECT_EQ(lines[lines.size() - 2], "        in use by another program") << run.out;
    EXPECT_EQ(lines.back(), "1 of 2 complete") << run.out;
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
    const auto ended = [&] { return countOccurrences(readText(log), "\"record\":\"attempt\""); };
    for (int waited = 0; waited < 200 && ended() < 3; ++waited)
        std::this_thread::sleep_for(50ms);
    update.sendSignal(SIGKILL);
    const ProgramResult run = update.finish(10s);
    EXPECT_EQ(run.signal, SIGKILL);

    // Four attempts began, three ended: the start without its end names the
    // board that may be half-flashed.
    const std::string written = readText(log);
    const std::vector<QJsonObject> logged = parseJsonLines(written);
    EXPECT_EQ(records(logged, "attempt").size(), 3u) << written;
    const std::vector<QJsonObject> starts = records(logged, "attempt-start");
    ASSERT_EQ(starts.size(), 4u) << written;
    int unended = 0;
    for (const QJsonObject& start : starts) {
        const QString id = start["attempt_id"].toString();
        if (countOccurrences(written, "\"attempt_id\":\"" + id.toStdString() + "\"") == 1) {
            ++unended;
            EXPECT_EQ(start["device"]["path"].toString().toStdString(), sims[3]->path());
        }
    }
    EXPECT_EQ(unended, 1) << written;
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
            return countOccurrences(station.output(Stream::Err), "COM 1: waiting for a board");
        };
        for (int tries = 0; tries < 100 && waiting() < board + 2; ++tries)
            station.waitForOutput(Stream::Out, "never printed", 100ms);
        ASSERT_EQ(waiting(), board + 2) << station.output(Stream::Err);
    }
    station.sendSignal(SIGINT);
    const ProgramResult run = station.finish(20s);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // Each board's row (its number on the port) before the tally that counts it.
    const std::size_t row = run.err.find("oxu-update: COM 1: board 3 at ");
    ASSERT_NE(row, std::string::npos) << run.err;
    EXPECT_NE(run.err.find("station: 3 flashed, 0 failed", row), std::string::npos) << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - 16), "3 of 3 complete\n") << run.err;
    const std::vector<QJsonObject> lines = parseJsonLines(run.out);
    EXPECT_EQ(records(lines, "attempt").size(), 3u) << run.out;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["mode"].toString(), "station");
    EXPECT_EQ(lines.back()["complete"].toInt(), 3);
    EXPECT_EQ(lines.back()["exit_code"].toInt(), 0);
    const std::vector<QJsonObject> logged = parseJsonLines(readText(pathTo("audit.jsonl")));
    EXPECT_EQ(records(logged, "attempt").size(), 3u);
    EXPECT_EQ(records(logged, "attempt-start").size(), 3u);
}

// ---- faults of the line, the terminal and the disk --------------------------

TEST_F(GangTest, SighupEndsAFourPortRunLikeCtrlC) {
    // Four lines that take the header and never answer: every attempt is
    // under way when the terminal goes.
    std::vector<std::unique_ptr<PtyPair>> lines;
    std::vector<std::string> args{"--timeout", "60", "--log", pathTo("audit.jsonl")};
    for (int i = 0; i < 4; ++i) {
        lines.push_back(std::make_unique<PtyPair>());
        args.insert(args.end(), {"--device", lines.back()->path()});
    }
    args.push_back(m_image);
    ChildProcess update(kUpdate, args);
    for (const auto& line : lines)
        ASSERT_EQ(line->readDeviceEnd(4, 10s).size(), 4u) << update.output(Stream::Err);
    update.sendSignal(SIGHUP);
    const ProgramResult run = update.finish(20s);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_NE(run.err.find("interrupted; closing COM 1"), std::string::npos) << run.err;

    // The summary table, a row per port.
    EXPECT_EQ(countOccurrences(run.out, "  interrupted  "), 4) << run.out;
    // A record for every attempt, each after its start.
    const std::vector<QJsonObject> logged = parseJsonLines(readText(pathTo("audit.jsonl")));
    EXPECT_EQ(records(logged, "attempt-start").size(), 4u);
    const std::vector<QJsonObject> ended = records(logged, "attempt");
    ASSERT_EQ(ended.size(), 4u);
    for (const QJsonObject& record : ended)
        EXPECT_EQ(record["result"].toString(), "interrupted");
    // Every port was closed: another program can take each at once.
    for (const auto& line : lines) {
        QSerialPort next;
        next.setPortName(QString::fromStdString(line->path()));
        EXPECT_TRUE(next.open(QIODevice::ReadWrite)) << next.errorString().toStdString();
    }
}

TEST_F(GangTest, ALogLeftEndingInAFragmentKeepsEveryNewRecordWhole) {
    const std::string log = pathTo("audit.jsonl");
    const std::string fragment = R"({"record":"attempt","time":"2026-01-0)";
    std::ofstream(log, std::ios::binary) << fragment;
    auto device = startDevice({});
    const ProgramResult run =
        runProgram(kUpdate, {"--log", log, "--device", device->path(), m_image});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(device->finish().exitCode, 0);

    const std::vector<std::string> lines = splitLines(readText(log));
    ASSERT_EQ(lines.size(), 3u) << readText(log);
    EXPECT_EQ(lines[0], fragment);
    const std::vector<QJsonObject> whole = parseJsonLines(lines[1] + "\n" + lines[2] + "\n");
    EXPECT_EQ(whole[0]["record"].toString(), "attempt-start");
    EXPECT_EQ(whole[1]["record"].toString(), "attempt");
    EXPECT_EQ(whole[1]["result"].toString(), "complete");
}

TEST_F(GangTest, WithStandardOutputAndErrorClosedTheUpdateStillCompletes) {
    // The descriptors are closed before the program starts, as a service
    // manager or a careless script may leave them.
    const std::string saved = pathTo("saved.bin");
    auto device = startDevice({}, saved);
    const ProgramResult run =
        runProgram("/bin/sh", {"-c", R"(exec "$0" "$@" <&- >&- 2>&-)", kUpdate, "--log",
                               pathTo("audit.jsonl"), "--device", device->path(), m_image});
    EXPECT_EQ(run.exitCode, 0);
    const ProgramResult sim = device->finish();
    EXPECT_EQ(sim.exitCode, 0) << sim.out << sim.err;
    EXPECT_EQ(readText(saved), readText(m_image));
    const std::vector<QJsonObject> logged = parseJsonLines(readText(pathTo("audit.jsonl")));
    ASSERT_EQ(records(logged, "attempt").size(), 1u);
    EXPECT_EQ(records(logged, "attempt")[0]["result"].toString(), "complete");
}

TEST_F(GangTest, AnImageReplacedOnDiskMidRunIsNotSentAndIsReportedOnce) {
    const std::string original = readText(m_image);
    auto healthy = startDevice({}, pathTo("healthy.bin"));
    auto comeback = startDevice({"--silent-first", "1"}, pathTo("comeback.bin"));
    ChildProcess update(kUpdate,
                        {"--retry", "1", "--timeout", "1", "--json", "--log", pathTo("audit.jsonl"),
                         "--device", healthy->path(), "--device", comeback->path(), m_image});
    // Port 2's first attempt is under way; its retry comes at least a second
    // later. The file is replaced meanwhile, as a build would replace it.
    ASSERT_TRUE(update.waitForOutput(Stream::Err, "COM 2: sending to", 10s))
        << update.output(Stream::Err);
    const std::string next = m_files.file("next.bin", patterned(kImageSize * 2));
    std::filesystem::rename(next, m_image);
    const ProgramResult run = update.finish(30s);
    EXPECT_EQ(run.exitCode, 0) << run.err;

    // Both devices got the image as it was when the run began.
    EXPECT_EQ(healthy->finish().exitCode, 0);
    EXPECT_EQ(comeback->finish().exitCode, 0);
    EXPECT_EQ(readText(pathTo("healthy.bin")), original);
    EXPECT_EQ(readText(pathTo("comeback.bin")), original);
    EXPECT_EQ(countOccurrences(run.err, "changed on disk"), 1) << run.err;
    const std::vector<QJsonObject> lines = parseJsonLines(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back()["image_changed_on_disk"].toBool()) << run.out;
    const QString sha256 = QString::fromLatin1(
        QCryptographicHash::hash(QByteArray::fromStdString(original), QCryptographicHash::Sha256)
            .toHex());
    const std::vector<QJsonObject> logged = parseJsonLines(readText(pathTo("audit.jsonl")));
    EXPECT_EQ(logged.size(), 6u);  // 3 attempts, each begun and ended
    for (const QJsonObject& record : logged) {
        EXPECT_EQ(record["firmware"]["sha256"].toString(), sha256);
        EXPECT_EQ(record["firmware"]["bytes"].toInt(), static_cast<int>(kImageSize));
    }
}

TEST_F(GangTest, APortThatStallsAtCloseHoldsUpNoOtherPort) {
#ifndef OXU_LINE_SHIM
    GTEST_SKIP() << "the line shim is not part of this build";
#else
    // Port 1's device (played here) reports completion right after the
    // header, and its adapter holds 4000 bytes that never leave: its close
    // waits for them (4 s at 9600 baud) and then gives them up. Ports 2 and 3
    // pause after two pages and ask for the rest while port 1 is closing.
    constexpr std::size_t kSize = 8 * 256;
    const std::string image = m_files.file("big.bin", patterned(kSize));
    const auto device = [&](const std::string& saved) {
        return std::make_unique<DeviceSim>(
            kSimulator, std::vector<std::string>{"--image-size", std::to_string(kSize), "--stats",
                                                 "--stop-after", "2", "--resume-after", "0.5",
                                                 "--save", pathTo(saved)});
    };
    PtyPair stalling;
    auto second = device("2.bin");
    auto third = device("3.bin");
    ChildProcess update(kUpdate,
                        {"--baud", "9600", "--device", stalling.path(), "--device", second->path(),
                         "--device", third->path(), image},
                        {{"LD_PRELOAD", OXU_LINE_SHIM},
                         {"OXU_SHIM_DEVICE", stalling.path()},
                         {"OXU_SHIM_LOG", pathTo("line.log")},
                         {"OXU_SHIM_OUTQ", "4000"},
                         {"OXU_SHIM_DRAIN_BLOCK", "30"}});
    ASSERT_EQ(stalling.readDeviceEnd(4, 10s).size(), 4u) << update.output(Stream::Err);
    stalling.writeDeviceEnd("\x55");
    const ProgramResult run = update.finish(60s);
    if (run.err.find("still waiting to be sent") == std::string::npos)
        GTEST_SKIP() << "port 1's close did not stall: this line shim cannot hold one\n" << run.err;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (auto* sim : {second.get(), third.get()}) {
        const ProgramResult result = sim->finish();
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        // Every page was answered at once, port 1's close notwithstanding.
        const std::string stats = findLine(result.out, "stats:");
        const std::size_t at = stats.find("rtt_max_us=");
        ASSERT_NE(at, std::string::npos) << result.out;
        EXPECT_LT(std::stol(stats.substr(at + 11)), 100'000) << stats;
    }
    EXPECT_TRUE(readText(pathTo("2.bin")) == readText(image));
    EXPECT_TRUE(readText(pathTo("3.bin")) == readText(image));
#endif
}

}  // namespace
}  // namespace oxu::testkit
