#include "cli/json_report.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

namespace oxu::cli {
namespace {

using namespace std::chrono_literals;
using std::chrono::system_clock;

RunContext sampleContext() {
    RunContext context;
    context.firmwarePath = "fw.bin";
    context.firmwareBytes = 1000;
    context.firmwareSha256 = "aa";
    context.baud = 19200;
    context.host = "line-3";
    context.version = "1.00";
    return context;
}

PortIdentity samplePort() {
    PortIdentity port;
    port.number = 4;
    port.device = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    port.adapter = {.vendorId = 0x0403, .productId = 0x6001, .serialNumber = "A12BC3D4"};
    return port;
}

QJsonObject parse(const std::string& line) {
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
    return document.object();
}

TEST(AttemptRecord, HoldsWhatTheAuditNeeds) {
    AttemptReport report;
    report.result = RunResult::PortLost;
    report.problem = "The connection to COM 4 was lost:\n\"unplugged\"";
    report.attempt = 3;
    report.pagesAnnounced = 4;
    report.pagesServed = 2;
    report.bytesSent = 520;
    report.duration = 1'234'567us;
    report.imageSha256 = "bb";
    report.errorKind = PortErrorKind::Stalled;
    const system_clock::time_point ended{1'714'566'896'789ms};
    const QJsonObject record =
        parse(toJsonLine(makeAttemptRecord(sampleContext(), samplePort(), report, ended)));

    EXPECT_EQ(record["record"].toString(), "attempt");
    EXPECT_EQ(record["time"].toString(), "2024-05-01T12:34:56.789Z");
    EXPECT_EQ(record["host"].toString(), "line-3");
    EXPECT_EQ(record["program"].toString(), "oxu-update");
    EXPECT_EQ(record["version"].toString(), "1.00");
    EXPECT_EQ(record["port"].toInt(), 4);
    EXPECT_EQ(record["device"].toString().toStdString(), samplePort().device);
    EXPECT_EQ(record["adapter"]["vendor_id"].toString(), "0403");
    EXPECT_EQ(record["adapter"]["product_id"].toString(), "6001");
    EXPECT_EQ(record["adapter"]["serial_number"].toString(), "A12BC3D4");
    EXPECT_EQ(record["firmware"]["path"].toString(), "fw.bin");
    EXPECT_EQ(record["firmware"]["bytes"].toInt(), 1000);
    // The image this attempt sent, not the one the run began with.
    EXPECT_EQ(record["firmware"]["sha256"].toString(), "bb");
    EXPECT_EQ(record["baud"].toInt(), 19200);
    EXPECT_EQ(record["result"].toString(), "port_lost");
    EXPECT_EQ(record["attempt"].toInt(), 3);
    EXPECT_EQ(record["retries"].toInt(), 2);
    EXPECT_EQ(record["pages"].toInt(), 4);
    EXPECT_EQ(record["pages_served"].toInt(), 2);
    EXPECT_EQ(record["bytes_sent"].toInt(), 520);
    EXPECT_DOUBLE_EQ(record["seconds"].toDouble(), 1.235);
    EXPECT_EQ(record["problem"].toString().toStdString(), report.problem);
    EXPECT_EQ(record["error_kind"].toString(), "stalled");
}

TEST(AttemptRecord, UnknownsAreNullAndAnAttemptThatSentNothingHasTheRunsHash) {
    AttemptReport report;  // could not start
    PortIdentity port;
    port.number = 2;
    const QJsonObject record = parse(
        toJsonLine(makeAttemptRecord(sampleContext(), port, report, system_clock::time_point{})));
    EXPECT_EQ(record["time"].toString(), "1970-01-01T00:00:00.000Z");
    EXPECT_TRUE(record["device"].isNull());
    EXPECT_TRUE(record["adapter"]["vendor_id"].isNull());
    EXPECT_TRUE(record["adapter"]["serial_number"].isNull());
    EXPECT_EQ(record["firmware"]["sha256"].toString(), "aa");
    EXPECT_EQ(record["result"].toString(), "could_not_start");
    EXPECT_EQ(record["retries"].toInt(), 0);
    EXPECT_TRUE(record["problem"].isNull());
    EXPECT_TRUE(record["error_kind"].isNull());
}

TEST(SummaryRecord, CountsOutcomesAndCarriesTheExitCode) {
    RunSummary summary;
    summary.mode = "gang";
    summary.exitCode = 5;
    summary.duration = 2s;
    for (RunResult result : {RunResult::Complete, RunResult::ConnectionFailed, RunResult::Complete,
                             RunResult::Interrupted}) {
        PortOutcome outcome;
        outcome.port.number = static_cast<int>(summary.outcomes.size()) + 1;
        outcome.last.result = result;
        outcome.last.attempt = outcome.port.number;
        summary.outcomes.push_back(outcome);
    }
    const QJsonObject record =
        parse(toJsonLine(makeSummaryRecord(sampleContext(), summary, system_clock::time_point{})));
    EXPECT_EQ(record["record"].toString(), "summary");
    EXPECT_EQ(record["mode"].toString(), "gang");
    EXPECT_EQ(record["complete"].toInt(), 2);
    EXPECT_EQ(record["failed"].toInt(), 2);
    EXPECT_EQ(record["exit_code"].toInt(), 5);
    EXPECT_EQ(record["seconds"].toDouble(), 2.0);
    EXPECT_EQ(record["firmware"]["sha256"].toString(), "aa");
    const QJsonArray results = record["results"].toArray();
    ASSERT_EQ(results.size(), 4);
    EXPECT_EQ(results[1]["port"].toInt(), 2);
    EXPECT_EQ(results[1]["result"].toString(), "connection_failed");
    EXPECT_EQ(results[3]["retries"].toInt(), 3);
}

TEST(FormatUtcTime, IsoWithMillisecondsInUtc) {
    EXPECT_EQ(formatUtcTime(system_clock::time_point{951'782'400'000ms}),
              "2000-02-29T00:00:00.000Z");
    EXPECT_EQ(formatUtcTime(system_clock::time_point{-1ms}), "1969-12-31T23:59:59.999Z");
}

TEST(Sha256Hex, MatchesTheStandardVectors) {
    const Bytes abc{'a', 'b', 'c'};
    EXPECT_EQ(sha256Hex(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(Bytes{}),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ResultNames, EveryResultHasItsWordsAndExitCode) {
    struct Case {
        RunResult result;
        const char* shown;
        const char* key;
        int exitCode;
    };
    const Case cases[] = {
        {RunResult::Complete, "complete", "complete", 0},
        {RunResult::ConnectionFailed, "connection failed", "connection_failed", 2},
        {RunResult::TransferInterrupted, "transfer interrupted", "transfer_interrupted", 3},
        {RunResult::PortLost, "port lost", "port_lost", 4},
        {RunResult::NotStarted, "could not start", "could_not_start", 1},
        {RunResult::Interrupted, "interrupted", "interrupted", 130},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(describeResult(c.result), c.shown);
        EXPECT_STREQ(resultKey(c.result), c.key);
        EXPECT_EQ(exitCodeFor(c.result), c.exitCode) << c.key;
    }
}

}  // namespace
}  // namespace oxu::cli
