#pragma once

// The machine-readable records of an update run: one JSON object per attempt
// (what --json prints as it ends and what --log appends) and one summary.
// Each goes out as one line of JSON Lines.

#include <QJsonObject>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/attempt.h"
#include "protocol/bytes.h"

namespace oxu::cli {

// What every record of one run shares.
struct RunContext {
    std::string firmwarePath;
    std::uint64_t firmwareBytes = 0;
    std::string firmwareSha256;  // of the file as the run began
    int baud = 0;
    std::string host;
    std::string version;
};

// The record of one attempt, ended at `ended`. Its firmware hash is that of
// the image the attempt sent, or the run's when it sent none.
QJsonObject makeAttemptRecord(const RunContext& context, const PortIdentity& port,
                              const AttemptReport& report,
                              std::chrono::system_clock::time_point ended);

// How a whole run ended, for its summary record.
struct RunSummary {
    const char* mode = "single";        // "single", "gang" or "station"
    std::vector<PortOutcome> outcomes;  // per port; in station mode, per board
    int exitCode = 0;
    std::chrono::microseconds duration{0};
};

// The summary record: counts of complete and failed outcomes, the exit code,
// and each outcome with its retries.
QJsonObject makeSummaryRecord(const RunContext& context, const RunSummary& summary,
                              std::chrono::system_clock::time_point ended);

// The object as one compact line, ending in '\n' (no newline inside: JSON
// escapes those in strings).
std::string toJsonLine(const QJsonObject& object);

// "2024-05-01T12:34:56.789Z": ISO 8601, UTC, to the millisecond.
std::string formatUtcTime(std::chrono::system_clock::time_point time);

// The SHA-256 of bytes in lowercase hex.
std::string sha256Hex(ByteView bytes);

// This machine's host name; "unknown" when the system will not say.
std::string hostName();

}  // namespace oxu::cli
