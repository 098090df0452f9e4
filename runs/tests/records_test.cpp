#include "runs/records.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "tests/kit/test_files.h"

namespace oxu::runs {
namespace {

using namespace std::chrono_literals;
using std::chrono::system_clock;

const RecordContext kContext{"oxu-update", "1.00", "line-3", 19200};

PortIdentity samplePort() {
    PortIdentity port;
    port.number = 4;
    port.device = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    port.adapter = {.vendorId = 0x0403, .productId = 0x6001, .serialNumber = "A12BC3D4"};
    port.names.realPath = "/dev/ttyUSB0";
    port.names.byId = {"/dev/serial/by-id/usb-FTDI_FT232R_A12BC3D4-if00-port0"};
    port.names.byPath = {port.device};
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

class RecordsTest : public testing::Test {
protected:
    RecordsTest()
        : m_image(ImageSnapshot::take(m_files.file("fw.bin", testkit::patterned(1000)))) {}

    testkit::TempDir m_files;
    ImageSnapshot m_image;
};

TEST_F(RecordsTest, AStartRecordNamesTheDeviceEveryWayAndTheImage) {
    const QJsonObject record =
        parse(toJsonLine(makeStartRecord(kContext, m_image, samplePort(), "abc-7", 2,
                                         system_clock::time_point{1'714'566'896'789ms})));
    EXPECT_EQ(record["record"].toString(), "attempt-start");
    EXPECT_EQ(record["time"].toString(), "2024-05-01T12:34:56.789Z");
    EXPECT_EQ(record["attempt_id"].toString(), "abc-7");
    EXPECT_EQ(record["port"].toInt(), 4);
    EXPECT_EQ(record["attempt"].toInt(), 2);
    EXPECT_EQ(record["device"]["path"].toString().toStdString(), samplePort().device);
    EXPECT_EQ(record["device"]["real_path"].toString(), "/dev/ttyUSB0");
    EXPECT_EQ(record["device"]["by_id"].toArray().size(), 1);
    EXPECT_EQ(record["device"]["by_path"][0].toString().toStdString(), samplePort().device);
    EXPECT_EQ(record["device"]["serial_number"].toString(), "A12BC3D4");
    EXPECT_EQ(record["firmware"]["path"].toString().toStdString(), m_image.absolutePath());
    EXPECT_TRUE(record["firmware"]["path"].toString().startsWith('/'));
    EXPECT_EQ(record["firmware"]["bytes"].toInt(), 1000);
    EXPECT_EQ(record["firmware"]["sha256"].toString().toStdString(), m_image.sha256());
}

TEST_F(RecordsTest, AnAttemptRecordHoldsWhatTheAuditNeeds) {
    AttemptReport report;
    report.id = "abc-7";
    report.result = RunResult::PortLost;
    report.problem = "The connection to COM 4 was lost:\n\"unplugged\"";
    report.errorKind = PortErrorKind::Disconnected;
    report.attempt = 3;
    report.pagesAnnounced = 4;
    report.pagesServed = 2;
    report.bytesSent = 520;
    report.bytesHeard = 4;
    report.duration = 1'234'567us;
    const QJsonObject record = parse(toJsonLine(makeAttemptRecord(
        kContext, m_image, samplePort(), report, system_clock::time_point{1'714'566'896'789ms})));

    EXPECT_EQ(record["record"].toString(), "attempt");
    EXPECT_EQ(record["attempt_id"].toString(), "abc-7");
    EXPECT_EQ(record["time"].toString(), "2024-05-01T12:34:56.789Z");
    EXPECT_EQ(record["host"].toString(), "line-3");
    EXPECT_EQ(record["program"].toString(), "oxu-update");
    EXPECT_EQ(record["version"].toString(), "1.00");
    EXPECT_EQ(record["port"].toInt(), 4);
    EXPECT_EQ(record["device"].toString().toStdString(), samplePort().device);
    EXPECT_EQ(record["adapter"]["vendor_id"].toString(), "0403");
    EXPECT_EQ(record["adapter"]["product_id"].toString(), "6001");
    EXPECT_EQ(record["adapter"]["serial_number"].toString(), "A12BC3D4");
    EXPECT_EQ(record["firmware"]["bytes"].toInt(), 1000);
    EXPECT_EQ(record["firmware"]["sha256"].toString().toStdString(), m_image.sha256());
    EXPECT_EQ(record["baud"].toInt(), 19200);
    EXPECT_EQ(record["result"].toString(), "port_lost");
    EXPECT_EQ(record["error_kind"].toString(), "disconnected");
    EXPECT_EQ(record["attempt"].toInt(), 3);
    EXPECT_EQ(record["retries"].toInt(), 2);
    EXPECT_EQ(record["pages"].toInt(), 4);
    EXPECT_EQ(record["pages_served"].toInt(), 2);
    EXPECT_FALSE(record["all_pages_served"].toBool());
    EXPECT_EQ(record["bytes_sent"].toInt(), 520);
    EXPECT_EQ(record["bytes_heard"].toInt(), 4);
    EXPECT_DOUBLE_EQ(record["seconds"].toDouble(), 1.235);
    EXPECT_EQ(record["problem"].toString().toStdString(), report.problem);
}

TEST_F(RecordsTest, UnknownsAreNull) {
    AttemptReport report;  // could not start
    PortIdentity port;
    port.number = 2;
    const QJsonObject record = parse(
        toJsonLine(makeAttemptRecord(kContext, m_image, port, report, system_clock::time_point{})));
    EXPECT_EQ(record["time"].toString(), "1970-01-01T00:00:00.000Z");
    EXPECT_TRUE(record["device"].isNull());
    EXPECT_TRUE(record["adapter"]["vendor_id"].isNull());
    EXPECT_TRUE(record["adapter"]["serial_number"].isNull());
    EXPECT_EQ(record["result"].toString(), "could_not_start");
    EXPECT_EQ(record["retries"].toInt(), 0);
    EXPECT_TRUE(record["problem"].isNull());
    EXPECT_TRUE(record["error_kind"].isNull());
    EXPECT_TRUE(record["download_command"].isNull()) << "not asked for";
}

TEST_F(RecordsTest, TheSummaryCountsOutcomesAndSaysWhetherTheImageChanged) {
    RunSummary summary;
    summary.mode = RunMode::Gang;
    summary.exitCode = 5;
    summary.duration = 2s;
    summary.imageChangedOnDisk = true;
    for (RunResult result : {RunResult::Complete, RunResult::ConnectionFailed, RunResult::Complete,
                             RunResult::Interrupted}) {
        PortOutcome outcome;
        outcome.port.number = static_cast<int>(summary.outcomes.size()) + 1;
        outcome.last.result = result;
        outcome.last.attempt = outcome.port.number;
        summary.outcomes.push_back(outcome);
    }
    const QJsonObject record = parse(
        toJsonLine(makeSummaryRecord(kContext, m_image, summary, system_clock::time_point{})));
    EXPECT_EQ(record["record"].toString(), "summary");
    EXPECT_EQ(record["mode"].toString(), "gang");
    EXPECT_EQ(record["complete"].toInt(), 2);
    EXPECT_EQ(record["failed"].toInt(), 2);
    EXPECT_EQ(record["exit_code"].toInt(), 5);
    EXPECT_EQ(record["seconds"].toDouble(), 2.0);
    EXPECT_TRUE(record["image_changed_on_disk"].toBool());
    EXPECT_EQ(record["firmware"]["sha256"].toString().toStdString(), m_image.sha256());
    const QJsonArray results = record["results"].toArray();
    ASSERT_EQ(results.size(), 4);
    EXPECT_EQ(results[1]["port"].toInt(), 2);
    EXPECT_EQ(results[1]["result"].toString(), "connection_failed");
    EXPECT_EQ(results[3]["retries"].toInt(), 3);
}

TEST(RecordPaths, NamesThatAreNotUtf8KeepTheirBytes) {
    struct Case {
        std::string path;
        const char* shown;
        const char* hex;  // nullptr: not needed
    };
    const Case cases[] = {
        {"/tmp/fw.bin", "/tmp/fw.bin", nullptr},
        {"/tmp/f\xc3\xa9.bin", "/tmp/f\xc3\xa9.bin", nullptr},            // é in UTF-8
        {"/tmp/f\xe9.bin", "/tmp/f\\xe9.bin", "2f746d702f66e92e62696e"},  // é in Latin-1
        {"/a\xc3", "/a\\xc3", "2f61c3"},                                  // cut off
        {"/a\xc0\xaf", "/a\\xc0\\xaf", "2f61c0af"},                       // overlong '/'
        {"/a\xed\xa0\x80", "/a\\xed\\xa0\\x80", "2f61eda080"},            // a surrogate
    };
    for (const Case& c : cases) {
        QJsonObject object;
        putPath(object, "path", c.path);
        const QString shown = object["path"].toString();
        EXPECT_EQ(shown.toStdString(), c.shown) << c.shown;
        EXPECT_FALSE(shown.contains(QChar(0xFFFD))) << c.shown;
        if (c.hex == nullptr) {
            EXPECT_FALSE(object.contains("path_bytes_hex")) << c.shown;
            continue;
        }
        EXPECT_EQ(object["path_bytes_hex"].toString().toStdString(), c.hex);
        EXPECT_EQ(QByteArray::fromHex(object["path_bytes_hex"].toString().toLatin1()).toStdString(),
                  c.path);
    }
}

TEST(FormatUtcTime, IsoWithMillisecondsInUtc) {
    EXPECT_EQ(formatUtcTime(system_clock::time_point{951'782'400'000ms}),
              "2000-02-29T00:00:00.000Z");
    EXPECT_EQ(formatUtcTime(system_clock::time_point{-1ms}), "1969-12-31T23:59:59.999Z");
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
}  // namespace oxu::runs
