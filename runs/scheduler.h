#pragma once

// The production line: one image sent to many ports at once on one loop,
// each port on its own. Failed ports start again (--retry); in station mode
// each port flashes board after board as they come and go. Every attempt
// leaves a start record before it sends anything and a record when it ends,
// and the run ends with a summary and an exit code. The scheduler waits for
// nothing: ports, time, boards and records come through the parts it is
// given, and what happens goes to its observer as values.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runs/attempt.h"
#include "runs/image.h"
#include "runs/ports.h"
#include "runs/records.h"
#include "runs/run_clock.h"
#include "runs/run_events.h"

namespace oxu::runs {

struct SchedulerSetup {
    RunMode mode = RunMode::Single;
    std::vector<PortRequest> ports;  // at least one; one for RunMode::Single
    int baud = 38400;
    std::chrono::milliseconds timeout{10'000};  // without progress, per attempt
    int retries = 0;                            // further attempts after a failure
    // Set: every attempt (each retry, each board) sends the download command
    // first and opens the port for the update this long after it closed.
    std::optional<std::chrono::milliseconds> downloadFirst{};
    RecordContext context;
    std::string runId;  // attempt ids are "<runId>-<n>"
};

// What the scheduler works with. Everything must outlive it; presence only
// for station mode.
struct SchedulerParts {
    PortFactory& ports;
    RunClock& clock;
    RunObserver& observer;
    std::vector<RecordSink*> sinks;
    Presence* presence = nullptr;
};

class Scheduler {
public:
    // Before a failed port starts again: a device that resets on a failure,
    // or an adapter coming back after an unplug, gets a moment.
    static constexpr std::chrono::milliseconds kRetryPause{500};
    // Station mode: how often each port is looked at for a board, and how
    // long a board that appeared is left alone before it is opened (the
    // system sets up a new device node, its permissions too, a moment later).
    static constexpr std::chrono::milliseconds kPresencePoll{250};
    static constexpr std::chrono::milliseconds kSettleTime{500};

    Scheduler(SchedulerSetup setup, const ImageSnapshot& image, SchedulerParts parts);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Identifies every port and starts it (station mode: starts watching for
    // boards). The run may have finished when this returns.
    void start();

    // A signal, or the operator's Stop: every running attempt ends as
    // interrupted (its record saying which), nothing new starts, and the run
    // finishes once every port is closed.
    void interrupt(Interruption why = Interruption::Signal);

    // Every port done and closed, every record written, RunFinished told.
    bool finished() const { return m_finished; }
    // Valid once finished.
    const RunSummary& summary() const { return m_summary; }
    // Called once, when the run has finished.
    void setFinishedHandler(std::function<void()> handler) { m_onFinished = std::move(handler); }

private:
    struct Slot;
    class SlotListener;

    void tell(const RunEvent& event);
    void startAttempt(std::size_t index);
    void attemptEvent(std::size_t index, const UpdateEvent& event, const AttemptProgress& progress);
    void downloadCommandSent(std::size_t index, std::chrono::milliseconds settle);
    void attemptEnded(std::size_t index, const AttemptReport& report);
    void attemptClosed(std::size_t index, const std::optional<SerialError>& failure);
    void slotTimerFired(std::size_t index);
    void pollPresence();
    void boardDone(std::size_t index, const AttemptReport& report, bool removed = false);
    void setStation(std::size_t index, StationPhase phase,
                    std::optional<RunResult> result = std::nullopt);
    void writeRecord(RecordKind kind, const QJsonObject& record);
    void checkImage();
    void reapClosed();
    bool allClosed() const;
    void finishIfDone();

    SchedulerSetup m_setup;
    const ImageSnapshot& m_image;
    SchedulerParts m_parts;
    Ticker m_ticker;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<std::unique_ptr<Attempt>> m_spent;  // replaced attempts, kept until closed
    std::unique_ptr<Alarm> m_presenceAlarm;
    std::vector<PortOutcome> m_boards;  // station mode: every board, in the order they ended
    std::chrono::microseconds m_begin{0};
    int m_nextAttempt = 0;
    int m_boardsComplete = 0;
    int m_boardsFailed = 0;
    int m_recordsNotWritten = 0;
    bool m_started = false;
    bool m_interrupted = false;
    bool m_imageChanged = false;
    bool m_finished = false;
    RunSummary m_summary;
    std::function<void()> m_onFinished;
};

}  // namespace oxu::runs
