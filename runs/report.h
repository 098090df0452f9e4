#pragma once

// What a run produces, as values: how each attempt ended and why, which port
// (or, in station mode, which board) it was, and the exit code of the whole
// run. The presenters and the records are made from these.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/serial_port.h"
#include "protocol/update_events.h"
#include "serial/usb_adapter.h"

namespace oxu::runs {

// Exit codes of an update run, as oxu-update documents them.
inline constexpr int kExitComplete = 0;
inline constexpr int kExitNotStarted = 1;
inline constexpr int kExitConnectionFailed = 2;
inline constexpr int kExitTransferInterrupted = 3;
inline constexpr int kExitPortLost = 4;
// Several ports (or boards): some did not complete.
inline constexpr int kExitSomeFailed = 5;
inline constexpr int kExitInterrupted = 130;

// How an attempt ended. Decided on the engine's events, never on a text.
enum class RunResult {
    Complete,             // the device reported completion
    ConnectionFailed,     // nothing was heard from the device, and the run gave up
    TransferInterrupted,  // the device was heard, then made no progress, and the run gave up
    PortLost,             // the port went away (or a write failed) during the update
    NotStarted,           // the port could not be used
    Interrupted,          // a signal, or the operator, ended it
};

// What cut a run short: a signal to the program (Ctrl-C, SIGTERM, SIGHUP), or
// its operator (a Stop button, a window closed during the run).
enum class Interruption { Signal, OperatorStop };

// "interrupted by a signal", "stopped by the operator": the problem an
// attempt cut short is recorded with.
const char* describeInterruption(Interruption why);

// "complete", "connection failed", ...: the result in words.
const char* describeResult(RunResult result);
// "complete", "connection_failed", ...: the result as the records name it.
const char* resultKey(RunResult result);
// The exit code of a one-port run that ended with result.
int exitCodeFor(RunResult result);

// What people are told of an engine event, in the words of the command line
// and the station ("complete", "connection failed", the port's own error);
// empty for the events that only move the progress on.
std::string describeEngineEvent(const UpdateEvent& event);

// "65,280": digits in groups of three, as every count of bytes is written.
std::string groupThousands(std::uint64_t value);

// What the system says of the device behind a port when it is identified.
struct DeviceNames {
    std::string realPath;             // symbolic links resolved; empty when missing
    std::vector<std::string> byId;    // /dev/serial/by-id/... names pointing to it
    std::vector<std::string> byPath;  // /dev/serial/by-path/... names pointing to it
};

// One port of a run: its number, the device it uses, and what that is.
struct PortIdentity {
    int number = 0;
    std::string device;  // the path used; empty when the number maps to no device
    UsbAdapter adapter;
    DeviceNames names;
};

// "0403:6001 A12BC3D4" (IDs in hex, then the serial number), "0403:6001",
// or "-" when nothing is known.
std::string formatAdapter(const UsbAdapter& adapter);

// Whether an attempt sent the download command before its update.
enum class DownloadCommandStep {
    NotAsked,  // the run goes straight to the update
    Sent,      // the command left and its port closed; the update followed after the settle time
    Failed,    // it could not be sent; no update was tried (the problem says why)
};

// One attempt at one port.
struct AttemptReport {
    std::string id{};  // shared by its attempt-start and attempt records
    RunResult result = RunResult::NotStarted;
    // Why it did not complete, said as it was ("nothing heard for 10 s", the
    // port's own error); empty when complete.
    std::string problem{};
    std::optional<PortErrorKind> errorKind{};  // when a port error ended it
    int attempt = 1;                           // 1 for the first; retries so far are attempt - 1
    int pagesAnnounced = 0;
    int pagesServed = 0;           // requests answered (repeats and pages past the image too)
    bool allPagesServed = false;   // every page 1..pagesAnnounced was served at least once
    std::uint64_t bytesSent = 0;   // header and page frames the port took
    std::uint64_t bytesHeard = 0;  // bytes read from the device
    std::chrono::microseconds duration{0};  // the download command and settle time included
    DownloadCommandStep downloadCommand = DownloadCommandStep::NotAsked;
};

// Where a port (or, in station mode, a board) ended up: its last attempt.
struct PortOutcome {
    PortIdentity port;
    AttemptReport last;
    // Station mode: the board's number on its port (1 for the first), when
    // it ended, and whether it was taken out while a retry was due (last is
    // then the failure that ended it).
    int board = 0;
    std::chrono::system_clock::time_point ended{};
    bool removedBeforeRetry = false;
};

// What went wrong with an outcome, without the port and device its row
// already names: the kind of port error in words ("in use by another
// program", "write failed"), else the attempt's own problem ("nothing heard
// for 10 s"); then "board removed before the retry" where that ended it.
// Empty for a complete one.
std::string describeProblem(const PortOutcome& outcome);

// "14:02:11": the time of day, local time.
std::string formatClockTime(std::chrono::system_clock::time_point time);

// A station's board in words: "board 3 at 14:02:11: connection failed
// (nothing heard for 10 s; board removed before the retry)".
std::string describeBoard(const PortOutcome& board);

// "3 of 4 complete": the outcomes that completed, of all of them.
std::string formatCompleteCount(const std::vector<PortOutcome>& outcomes);

enum class RunMode { Single, Gang, Station };

// "single", "gang", "station".
const char* modeKey(RunMode mode);

// How a whole run ended.
struct RunSummary {
    RunMode mode = RunMode::Single;
    std::vector<PortOutcome> outcomes;  // per port in the order given; in station mode, per board
    int exitCode = kExitComplete;
    std::chrono::microseconds duration{0};
    bool imageChangedOnDisk = false;  // the file changed while the run sent its snapshot
    bool interrupted = false;         // a signal or the operator ended the run
};

// The exit code of a run: a signal that cut an attempt short gives
// kExitInterrupted (in station mode, a signal between boards is the
// ordinary end); one port gives its last attempt's code; several, or
// station boards, kExitSomeFailed when any did not complete.
int decideExitCode(RunMode mode, const std::vector<PortOutcome>& outcomes, bool interrupted);

}  // namespace oxu::runs
