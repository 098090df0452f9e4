#pragma once

// What one attempt at updating one port came to, and who that port is: the
// values the summary, the JSON lines and the audit log are made from.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/serial_port.h"
#include "serial/usb_adapter.h"

namespace oxu::cli {

// How an attempt ended. Decided on the engine's events, never on a text.
enum class RunResult {
    Complete,             // the device reported completion
    ConnectionFailed,     // the device never answered, and the tool gave up
    TransferInterrupted,  // the device fell silent part-way, and the tool gave up
    PortLost,             // the port went away (or a write failed) during the update
    NotStarted,           // the port or the file could not be used
    Interrupted,          // Ctrl-C or SIGTERM ended it
};

// "complete", "connection failed", ...: the result as the summary shows it.
const char* describeResult(RunResult result);

// "complete", "connection_failed", ...: the result as JSON carries it.
const char* resultKey(RunResult result);

// The exit code of a one-port run that ended with result (the kExit* codes).
int exitCodeFor(RunResult result);

// "0403:6001 A12BC3D4" (IDs in hex, then the serial number), "0403:6001",
// or "-" when nothing is known.
std::string formatAdapter(const UsbAdapter& adapter);

// One port of a run: its number, the device it maps to, and its adapter.
struct PortIdentity {
    int number = 0;
    std::string device;  // empty when the number maps to no device
    UsbAdapter adapter;
};

// One attempt at one port.
struct AttemptReport {
    RunResult result = RunResult::NotStarted;
    std::string problem;  // what went wrong, for people; empty when complete
    // What kind of port failure ended it: the port could not be opened, was
    // lost, or a write to it failed. Nothing for any other ending.
    std::optional<PortErrorKind> errorKind;
    int attempt = 1;  // 1 for the first; retries so far are attempt - 1
    int pagesAnnounced = 0;
    int pagesServed = 0;  // page requests answered (repeats and pages past the image too)
    std::uint64_t bytesSent = 0;
    std::chrono::microseconds duration{0};
    std::string imageSha256;  // of the image this attempt sent; empty when it sent none
};

// Where a port (or, in station mode, a board) ended up: its last attempt.
struct PortOutcome {
    PortIdentity port;
    AttemptReport last;
};

}  // namespace oxu::cli
