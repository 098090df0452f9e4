#include "runs/records.h"

#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace oxu::runs {
namespace {

// Seconds to the millisecond: more would only be noise.
double toSeconds(std::chrono::microseconds duration) {
    return std::round(static_cast<double>(duration.count()) / 1000.0) / 1000.0;
}

QJsonValue textOrNull(const std::string& text) {
    return text.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(toJsonText(text));
}

QJsonValue hexId(const std::optional<std::uint16_t>& id) {
    if (!id)
        return QJsonValue::Null;
    return QString::fromStdString(formatUsbId(*id));
}

// The length of the valid UTF-8 sequence at text[at], or 0 when there is none.
std::size_t utf8SequenceAt(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kLeast[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
        return 0;
    return length;
}

bool isUtf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8SequenceAt(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

QJsonObject makeAdapter(const UsbAdapter& adapter) {
    return QJsonObject{
        {"vendor_id", hexId(adapter.vendorId)},
        {"product_id", hexId(adapter.productId)},
        {"serial_number", textOrNull(adapter.serialNumber)},
    };
}

// The fields every record starts with: what, when, where, and by what.
QJsonObject makeHeading(const char* record, const RecordContext& context,
                        std::chrono::system_clock::time_point time) {
    return QJsonObject{
        {"record", record},
        {"time", QString::fromStdString(formatUtcTime(time))},
        {"host", toJsonText(context.host)},
        {"program", toJsonText(context.program)},
        {"version", toJsonText(context.version)},
        {"baud", context.baud},
    };
}

QJsonObject makeFirmware(const ImageSnapshot& image) {
    QJsonObject firmware{
        {"bytes", static_cast<double>(image.size())},
        {"sha256", QString::fromStdString(image.sha256())},
    };
    putPath(firmware, "path", image.absolutePath());
    return firmware;
}

QJsonArray makePaths(const std::vector<std::string>& paths) {
    QJsonArray array;
    for (const std::string& path : paths)
        array.append(toJsonText(path));
    return array;
}

// The fields of a port's attempt, shared by the attempt record and the summary.
void addOutcome(QJsonObject& object, const PortIdentity& port, const AttemptReport& report) {
    object["port"] = port.number;
    if (port.device.empty())
        object["device"] = QJsonValue::Null;
    else
        putPath(object, "device", port.device);
    object["adapter"] = makeAdapter(port.adapter);
    object["result"] = resultKey(report.result);
    object["attempt"] = report.attempt;
    object["retries"] = report.attempt - 1;
    object["pages"] = report.pagesAnnounced;
    object["pages_served"] = report.pagesServed;
    object["all_pages_served"] = report.allPagesServed;
    object["bytes_sent"] = static_cast<double>(report.bytesSent);
    object["bytes_heard"] = static_cast<double>(report.bytesHeard);
    object["seconds"] = toSeconds(report.duration);
    object["problem"] = textOrNull(report.problem);
    object["error_kind"] = report.errorKind ? QJsonValue(portErrorKey(*report.errorKind))
                                            : QJsonValue(QJsonValue::Null);
    object["download_command"] =
        report.downloadCommand == DownloadCommandStep::Sent     ? QJsonValue("sent")
        : report.downloadCommand == DownloadCommandStep::Failed ? QJsonValue("failed")
                                                                : QJsonValue(QJsonValue::Null);
}

}  // namespace

QString toJsonText(const std::string& text) {
    std::string clean;
    clean.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8SequenceAt(text, at);
        if (length > 0) {
            clean.append(text, at, length);
            at += length;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[at]));
        clean += escaped;
        ++at;
    }
    return QString::fromUtf8(clean.data(), static_cast<qsizetype>(clean.size()));
}

void putPath(QJsonObject& object, const QString& key, const std::string& path) {
    object[key] = toJsonText(path);
    if (!isUtf8(path)) {
        object[key + "_bytes_hex"] = QString::fromLatin1(QByteArray::fromStdString(path).toHex());
    }
}

QJsonObject makeStartRecord(const RecordContext& context, const ImageSnapshot& image,
                            const PortIdentity& port, const std::string& id, int attempt,
                            std::chrono::system_clock::time_point time) {
    QJsonObject record = makeHeading("attempt-start", context, time);
    record["attempt_id"] = QString::fromStdString(id);
    record["port"] = port.number;
    record["attempt"] = attempt;
    QJsonObject device;
    if (port.device.empty())
        device["path"] = QJsonValue::Null;
    else
        putPath(device, "path", port.device);
    if (port.names.realPath.empty())
        device["real_path"] = QJsonValue::Null;
    else
        putPath(device, "real_path", port.names.realPath);
    device["by_id"] = makePaths(port.names.byId);
    device["by_path"] = makePaths(port.names.byPath);
    device["serial_number"] = textOrNull(port.adapter.serialNumber);
    record["device"] = device;
    record["adapter"] = makeAdapter(port.adapter);
    record["firmware"] = makeFirmware(image);
    return record;
}

QJsonObject makeAttemptRecord(const RecordContext& context, const ImageSnapshot& image,
                              const PortIdentity& port, const AttemptReport& report,
                              std::chrono::system_clock::time_point ended) {
    QJsonObject record = makeHeading("attempt", context, ended);
    record["attempt_id"] = QString::fromStdString(report.id);
    record["firmware"] = makeFirmware(image);
    addOutcome(record, port, report);
    return record;
}

QJsonObject makeSummaryRecord(const RecordContext& context, const ImageSnapshot& image,
                              const RunSummary& summary,
                              std::chrono::system_clock::time_point ended) {
    QJsonObject record = makeHeading("summary", context, ended);
    record["firmware"] = makeFirmware(image);
    record["image_changed_on_disk"] = summary.imageChangedOnDisk;
    record["mode"] = modeKey(summary.mode);
    int complete = 0;
    QJsonArray outcomes;
    for (const PortOutcome& outcome : summary.outcomes) {
        complete += outcome.last.result == RunResult::Complete ? 1 : 0;
        QJsonObject entry;
        entry["attempt_id"] = QString::fromStdString(outcome.last.id);
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

std::string hostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "unknown";
    return name;
}

std::string newRunId() {
    char text[24];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(QRandomGenerator::system()->generate64()));
    return text;
}

}  // namespace oxu::runs
