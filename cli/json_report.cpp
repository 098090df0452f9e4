#include "cli/json_report.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "cli/options.h"

namespace oxu::cli {
namespace {

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

// Seconds to the millisecond: more would only be noise.
double toSeconds(std::chrono::microseconds duration) {
    return std::round(static_cast<double>(duration.count()) / 1000.0) / 1000.0;
}

QJsonValue hexId(const std::optional<std::uint16_t>& id) {
    if (!id)
        return QJsonValue::Null;
    return QString::fromStdString(formatUsbId(*id));
}

QJsonObject makeAdapter(const UsbAdapter& adapter) {
    return QJsonObject{
        {"vendor_id", hexId(adapter.vendorId)},
        {"product_id", hexId(adapter.productId)},
        {"serial_number", adapter.serialNumber.empty()
                              ? QJsonValue(QJsonValue::Null)
                              : QJsonValue(toQString(adapter.serialNumber))},
    };
}

// The fields every record starts with: when, where, and by what.
QJsonObject makeHeading(const char* record, const RunContext& context,
                        std::chrono::system_clock::time_point time) {
    return QJsonObject{
        {"record", record},
        {"time", toQString(formatUtcTime(time))},
        {"host", toQString(context.host)},
        {"program", kProgramName},
        {"version", toQString(context.version)},
        {"baud", context.baud},
    };
}

QJsonObject makeFirmware(const RunContext& context, const std::string& sha256) {
    return QJsonObject{
        {"path", toQString(context.firmwarePath)},
        {"bytes", static_cast<double>(context.firmwareBytes)},
        {"sha256", toQString(sha256)},
    };
}

// The fields of a port's attempt, shared by the attempt record and the summary.
void addOutcome(QJsonObject& object, const PortIdentity& port, const AttemptReport& report) {
    object["port"] = port.number;
    object["device"] = port.device.empty() ? QJsonValue(QJsonValue::Null) : toQString(port.device);
    object["adapter"] = makeAdapter(port.adapter);
    object["result"] = resultKey(report.result);
    object["attempt"] = report.attempt;
    object["retries"] = report.attempt - 1;
    object["pages"] = report.pagesAnnounced;
    object["pages_served"] = report.pagesServed;
    object["bytes_sent"] = static_cast<double>(report.bytesSent);
    object["seconds"] = toSeconds(report.duration);
    object["problem"] =
        report.problem.empty() ? QJsonValue(QJsonValue::Null) : toQString(report.problem);
    object["error_kind"] = report.errorKind ? QJsonValue(portErrorKey(*report.errorKind))
                                            : QJsonValue(QJsonValue::Null);
}

}  // namespace

QJsonObject makeAttemptRecord(const RunContext& context, const PortIdentity& port,
                              const AttemptReport& report,
                              std::chrono::system_clock::time_point ended) {
    QJsonObject record = makeHeading("attempt", context, ended);
    record["firmware"] = makeFirmware(
        context, report.imageSha256.empty() ? context.firmwareSha256 : report.imageSha256);
    addOutcome(record, port, report);
    return record;
}

QJsonObject makeSummaryRecord(const RunContext& context, const RunSummary& summary,
                              std::chrono::system_clock::time_point ended) {
    QJsonObject record = makeHeading("summary", context, ended);
    record["firmware"] = makeFirmware(context, context.firmwareSha256);
    record["mode"] = summary.mode;
    int complete = 0;
    QJsonArray outcomes;
    for (const PortOutcome& outcome : summary.outcomes) {
        complete += outcome.last.result == RunResult::Complete ? 1 : 0;
        QJsonObject entry;
        addOutcome(entry, outcome.port, outcome.last);
        outcomes.append(entry);
    }
    record["complete"] = complete;
    record["failed"] = static_cast<int>(summary.outcomes.size()) - complete;
    record["exit_code"] = summary.exitCode;
    record["seconds"] = toSeconds(summary.duration);
    record["results"] = outcomes;
    return record;
}

std::string toJsonLine(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + '\n';
}

std::string formatUtcTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto since = time.time_since_epoch();
    // Floor division: a time before 1970 still gets milliseconds 0..999.
    const auto wholeSeconds = floor<seconds>(since);
    const auto millis = duration_cast<milliseconds>(since - wholeSeconds).count();
    const std::time_t stamp = static_cast<std::time_t>(wholeSeconds.count());
    std::tm utc{};
    gmtime_r(&stamp, &utc);
    char text[96];  // room for any int the fields may hold
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

std::string sha256Hex(ByteView bytes) {
    const QByteArray digest =
        QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<qsizetype>(bytes.size())),
                                 QCryptographicHash::Sha256);
    return digest.toHex().toStdString();
}

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "unknown";
    return name;
}

}  // namespace oxu::cli
