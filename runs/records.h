#pragma once

// The machine-readable records of a run, one JSON object each, written as
// one line of JSON Lines: "attempt-start" before an attempt sends anything,
// "attempt" when it has ended (the same id), and one "summary" at the end.
// A start without its attempt is a board that may be half-flashed.

#include <QJsonObject>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "runs/image.h"
#include "runs/report.h"

namespace oxu::runs {

// What every record of one run shares.
struct RecordContext {
    std::string program;
    std::string version;
    std::string host;
    int baud = 0;
};

enum class RecordKind { AttemptStart, Attempt, Summary };

// Where records go: the audit log, JSON Lines on standard output.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // Takes one record, whole. Returns why it could not, naming where it
    // was to go; nothing when taken.
    virtual std::optional<std::string> write(RecordKind kind, const QJsonObject& record) = 0;
    // The run is over: returns once every record taken is durable, with the
    // failures found on the way.
    virtual std::vector<std::string> finish() { return {}; }
};

QJsonObject makeStartRecord(const RecordContext& context, const ImageSnapshot& image,
                            const PortIdentity& port, const std::string& id, int attempt,
                            std::chrono::system_clock::time_point time);

QJsonObject makeAttemptRecord(const RecordContext& context, const ImageSnapshot& image,
                              const PortIdentity& port, const AttemptReport& report,
                              std::chrono::system_clock::time_point ended);

// Counts of complete and failed outcomes, the exit code, whether the file
// changed on disk, and each outcome with its retries.
QJsonObject makeSummaryRecord(const RecordContext& context, const ImageSnapshot& image,
                              const RunSummary& summary,
                              std::chrono::system_clock::time_point ended);

// The object as one compact line, ending in '\n' (JSON escapes newlines in
// strings, so there is no other).
std::string toJsonLine(const QJsonObject& object);

// "2024-05-01T12:34:56.789Z": ISO 8601, UTC, to the millisecond.
std::string formatUtcTime(std::chrono::system_clock::time_point time);

// Text for a JSON string: valid UTF-8 as it is, every other byte as the four
// characters \xNN, so nothing becomes U+FFFD and the bytes can be told.
QString toJsonText(const std::string& text);

// Sets object[key] to the path as toJsonText gives it, and, when the path
// is not valid UTF-8, object[key + "_bytes_hex"] to its bytes in hex: the
// exact name, recoverable.
void putPath(QJsonObject& object, const QString& key, const std::string& path);

// This machine's host name; "unknown" when the system will not say.
std::string hostName();

// A new identifier for a run: 16 random hex digits. Attempt ids are
// "<run id>-<n>".
std::string newRunId();

}  // namespace oxu::runs
