#pragma once

// What a run tells its observer, as values: the presenters (terminal lines,
// plain lines, a window's tiles) turn these into their own words. Slots are
// the run's ports in the order given.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/update_events.h"
#include "runs/report.h"

namespace oxu::runs {

// Where one attempt stands.
struct AttemptProgress {
    int page = 0;            // the page last served (0: none yet, or a page-0 request)
    int pages = 0;           // announced in the header
    int pagesServed = 0;     // distinct pages served
    int requestsServed = 0;  // page requests answered, repeats included
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesHeard = 0;
    std::chrono::microseconds elapsed{0};  // since the attempt began
};

// Station mode: where a port stands between boards.
enum class StationPhase {
    WaitingForBoard,    // no board on the port
    BoardFound,         // a board appeared; it is left to settle before it is opened
    Flashing,           // attempts on the board are under way
    WaitingForRemoval,  // the board is done; the next one comes when it has gone
};

// The run begins. Image details come with the image snapshot.
struct RunStarted {
    RunMode mode = RunMode::Single;
    std::vector<PortIdentity> ports;  // by slot; identified as the run began
    int attempts = 1;                 // at most, per port (per board)
};

// An attempt is about to open its port.
struct AttemptStarting {
    std::size_t slot = 0;
    std::string id;
    int attempt = 1;
    int attempts = 1;
    PortIdentity port;
};

// The engine reported event on the slot's attempt (header out, page served,
// silence, completion, port lost...).
struct AttemptEvent {
    std::size_t slot = 0;
    UpdateEvent event;
    AttemptProgress progress;
};

// The download command went out on the slot's port and the port is closed;
// the update opens it again after `settle`.
struct DownloadCommandSent {
    std::size_t slot = 0;
    std::chrono::milliseconds settle{0};
};

// An attempt is over and its record is written; its port closes next.
// again: the port starts over after `pause`.
struct AttemptEnded {
    std::size_t slot = 0;
    PortIdentity port;
    AttemptReport report;
    bool again = false;
    std::chrono::milliseconds pause{0};
    int attempts = 1;  // at most, on this port (board)
};

// A port's close could not send what was queued; the port is released.
struct CloseFailed {
    std::size_t slot = 0;
    std::string description;
    PortErrorKind kind = PortErrorKind::Io;
};

struct StationChanged {
    std::size_t slot = 0;
    StationPhase phase = StationPhase::WaitingForBoard;
    std::string device;               // the board's device, where one is known
    std::optional<RunResult> result;  // WaitingForRemoval: how the board ended
};

// Station mode: a board is done (board), and the boards done so far.
struct BoardTally {
    int complete = 0;
    int failed = 0;
    std::size_t slot = 0;
    PortOutcome board;
};

// The image file changed on disk after the run read it; the run keeps
// sending what it read. Reported once.
struct ImageChanged {
    std::string path;
};

// A record did not reach one of its sinks; reason names the sink.
struct RecordNotWritten {
    std::string reason;
};

// A signal or the operator ends the run: these slots' attempts are being
// cut short.
struct Interrupting {
    std::vector<std::size_t> running;
    Interruption why = Interruption::Signal;
};

// The run is over: every record written, every port closed.
struct RunFinished {
    RunSummary summary;
    int recordsNotWritten = 0;
};

using RunEvent = std::variant<RunStarted, AttemptStarting, DownloadCommandSent, AttemptEvent,
                              AttemptEnded, CloseFailed, StationChanged, BoardTally, ImageChanged,
                              RecordNotWritten, Interrupting, RunFinished>;

class RunObserver {
public:
    virtual ~RunObserver() = default;
    // Told of every event, in order, as it happens. Must not call back into
    // the run, except Run::interrupt().
    virtual void onRunEvent(const RunEvent& event) = 0;
};

}  // namespace oxu::runs
