#include "runs/scheduler.h"

#include <algorithm>

namespace oxu::runs {

struct Scheduler::Slot {
    // What the slot's port is doing about attempts.
    enum class Step {
        Idle,     // none yet (station mode: between boards)
        Running,  // an attempt is under way
        Pausing,  // failed; starts again when the timer fires
        Done,     // no more attempts
    };

    PortRequest request;
    PortIdentity identity;
    std::unique_ptr<SlotListener> listener;
    std::unique_ptr<Attempt> attempt;  // the current or last attempt
    Step step = Step::Idle;
    StationPhase station = StationPhase::WaitingForBoard;
    int attempts = 0;  // begun on this port (this board, in station mode)
    int boards = 0;    // station mode: boards done on this port
    std::optional<AttemptReport> last;
    std::unique_ptr<Alarm> timer;  // the retry pause; station mode: the settle time
    bool startWhenClosed = false;  // the pause is over; the last attempt's port is still closing
};

class Scheduler::SlotListener final : public Attempt::Listener {
public:
    SlotListener(Scheduler& scheduler, std::size_t index)
        : m_scheduler(scheduler), m_index(index) {}
    void attemptEvent(const UpdateEvent& event, const AttemptProgress& progress) override {
        m_scheduler.attemptEvent(m_index, event, progress);
    }
    void downloadCommandSent(std::chrono::milliseconds settle) override {
        m_scheduler.downloadCommandSent(m_index, settle);
    }
    void attemptEnded(const AttemptReport& report) override {
        m_scheduler.attemptEnded(m_index, report);
    }
    void attemptClosed(const std::optional<SerialError>& failure) override {
        m_scheduler.attemptClosed(m_index, failure);
    }

private:
    Scheduler& m_scheduler;
    std::size_t m_index;
};

Scheduler::Scheduler(SchedulerSetup setup, const ImageSnapshot& image, SchedulerParts parts)
    : m_setup(std::move(setup)),
      m_image(image),
      m_parts(std::move(parts)),
      m_ticker(m_parts.clock) {
    for (std::size_t i = 0; i < m_setup.ports.size(); ++i) {
        auto slot = std::make_unique<Slot>();
        slot->request = m_setup.ports[i];
        slot->identity.number = slot->request.number;
        slot->listener = std::make_unique<SlotListener>(*this, i);
        slot->timer = m_parts.clock.makeAlarm([this, i] { slotTimerFired(i); });
        m_slots.push_back(std::move(slot));
    }
    m_presenceAlarm = m_parts.clock.makeAlarm([this] { pollPresence(); });
}

Scheduler::~Scheduler() = default;

void Scheduler::tell(const RunEvent& event) {
    m_parts.observer.onRunEvent(event);
}

void Scheduler::start() {
    if (m_started)
        return;
    m_started = true;
    m_begin = m_parts.clock.now();
    const bool station = m_setup.mode == RunMode::Station;
    RunStarted started{m_setup.mode, {}, m_setup.retries + 1};
    for (const auto& slot : m_slots) {
        // Station mode: each board is identified as it comes.
        if (station)
            slot->identity.device = slot->request.device.value_or("");
        else
            slot->identity = m_parts.ports.identify(slot->request);
        started.ports.push_back(slot->identity);
    }
    tell(started);
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
        if (station)
            setStation(i, StationPhase::WaitingForBoard);
        else
            startAttempt(i);
    }
    if (station)
        pollPresence();
    finishIfDone();
}

void Scheduler::startAttempt(std::size_t index) {
    Slot& slot = *m_slots[index];
    // A port opened again before its last close has finished would be busy.
    if (slot.attempt && !slot.attempt->closed()) {
        slot.startWhenClosed = true;
        return;
    }
    slot.startWhenClosed = false;
    if (slot.attempt)
        m_spent.push_back(std::move(slot.attempt));
    checkImage();
    ++slot.attempts;
    slot.step = Slot::Step::Running;
    const std::string id = m_setup.runId + "-" + std::to_string(++m_nextAttempt);
    tell(AttemptStarting{index, id, slot.attempts, m_setup.retries + 1, slot.identity});
    // Before anything is sent: a start without its end is a board that may
    // be half-flashed.
    writeRecord(RecordKind::AttemptStart,
                makeStartRecord(m_setup.context, m_image, slot.identity, id, slot.attempts,
                                std::chrono::system_clock::now()));
    Attempt::Setup setup{id, slot.attempts, m_setup.baud, m_setup.timeout, m_setup.downloadFirst};
    slot.attempt =
        std::make_unique<Attempt>(m_parts.ports.makePort(slot.request, slot.identity), m_image,
                                  m_parts.clock, m_ticker, std::move(setup), *slot.listener);
    slot.attempt->start();
}

void Scheduler::attemptEvent(std::size_t index, const UpdateEvent& event,
                             const AttemptProgress& progress) {
    tell(AttemptEvent{index, event, progress});
}

void Scheduler::downloadCommandSent(std::size_t index, std::chrono::milliseconds settle) {
    tell(DownloadCommandSent{index, settle});
}

void Scheduler::attemptEnded(std::size_t index, const AttemptReport& report) {
    Slot& slot = *m_slots[index];
    slot.last = report;
    writeRecord(RecordKind::Attempt, makeAttemptRecord(m_setup.context, m_image, slot.identity,
                                                       report, std::chrono::system_clock::now()));
    const bool failed =
        report.result != RunResult::Complete && report.result != RunResult::Interrupted;
    const bool again = failed && !m_interrupted && report.attempt <= m_setup.retries;
    tell(AttemptEnded{index, slot.identity, report, again, kRetryPause, m_setup.retries + 1});
    if (again) {
        slot.step = Slot::Step::Pausing;
        slot.timer->start(kRetryPause);
    } else if (m_setup.mode == RunMode::Station) {
        slot.step = m_interrupted ? Slot::Step::Done : Slot::Step::Idle;
        boardDone(index, report);
    } else {
        slot.step = Slot::Step::Done;
    }
}

void Scheduler::attemptClosed(std::size_t index, const std::optional<SerialError>& failure) {
    Slot& slot = *m_slots[index];
    if (failure)
        tell(CloseFailed{index, failure->what(), failure->kind()});
    if (slot.startWhenClosed && slot.attempt && slot.attempt->closed())
        startAttempt(index);
    finishIfDone();
}

void Scheduler::slotTimerFired(std::size_t index) {
    reapClosed();
    Slot& slot = *m_slots[index];
    if (m_interrupted)
        return;
    if (slot.step == Slot::Step::Pausing) {
        // A board taken out while its retry was due ended with the failure
        // before, not with a port that is no longer there.
        if (m_setup.mode == RunMode::Station && slot.last &&
            !m_parts.presence->boardPresent(slot.request)) {
            slot.step = Slot::Step::Idle;
            boardDone(index, *slot.last, true);
            return;
        }
        startAttempt(index);
        return;
    }
    if (slot.station != StationPhase::BoardFound)
        return;
    if (!m_parts.presence->boardPresent(slot.request)) {
        setStation(index, StationPhase::WaitingForBoard);
        return;
    }
    // A new board: its own device and adapter, and its own attempts.
    slot.identity = m_parts.ports.identify(slot.request);
    slot.attempts = 0;
    setStation(index, StationPhase::Flashing);
    startAttempt(index);
}

void Scheduler::pollPresence() {
    reapClosed();
    if (m_interrupted)
        return;
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
        Slot& slot = *m_slots[i];
        if (slot.station != StationPhase::WaitingForBoard &&
            slot.station != StationPhase::WaitingForRemoval)
            continue;
        const bool present = m_parts.presence->boardPresent(slot.request);
        if (slot.station == StationPhase::WaitingForBoard && present) {
            setStation(i, StationPhase::BoardFound);
            slot.timer->start(kSettleTime);
        } else if (slot.station == StationPhase::WaitingForRemoval && !present) {
            setStation(i, StationPhase::WaitingForBoard);
        }
    }
    m_presenceAlarm->start(kPresencePoll);
}

void Scheduler::boardDone(std::size_t index, const AttemptReport& report, bool removed) {
    Slot& slot = *m_slots[index];
    m_boards.push_back(
        {slot.identity, report, ++slot.boards, std::chrono::system_clock::now(), removed});
    if (report.result == RunResult::Interrupted)
        return;
    ++(report.result == RunResult::Complete ? m_boardsComplete : m_boardsFailed);
    setStation(index, StationPhase::WaitingForRemoval, report.result);
    tell(BoardTally{m_boardsComplete, m_boardsFailed, index, m_boards.back()});
}

void Scheduler::setStation(std::size_t index, StationPhase phase, std::optional<RunResult> result) {
    Slot& slot = *m_slots[index];
    slot.station = phase;
    const std::string device = phase == StationPhase::WaitingForBoard
                                   ? slot.request.device.value_or("")
                               : phase == StationPhase::BoardFound ? deviceFor(slot.request)
                                                                   : slot.identity.device;
    tell(StationChanged{index, phase, device, result});
}

void Scheduler::interrupt(Interruption why) {
    if (m_interrupted || m_finished || !m_started)
        return;
    m_interrupted = true;
    Interrupting interrupting{{}, why};
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
        if (m_slots[i]->step == Slot::Step::Running)
            interrupting.running.push_back(i);
    }
    tell(interrupting);
    m_presenceAlarm->stop();
    for (const auto& slot : m_slots) {
        slot->timer->stop();
        slot->startWhenClosed = false;
        // Station mode: a board whose retry is cancelled ends with its failure.
        if (slot->step == Slot::Step::Pausing && m_setup.mode == RunMode::Station && slot->last)
            m_boards.push_back({slot->identity, *slot->last, ++slot->boards,
                                std::chrono::system_clock::now(), false});
        if (slot->step == Slot::Step::Running)
            slot->attempt->interrupt(why);
        slot->step = Slot::Step::Done;
    }
    finishIfDone();
}

void Scheduler::writeRecord(RecordKind kind, const QJsonObject& record) {
    for (RecordSink* sink : m_parts.sinks) {
        if (const std::optional<std::string> failure = sink->write(kind, record)) {
            ++m_recordsNotWritten;
            tell(RecordNotWritten{*failure});
        }
    }
}

void Scheduler::checkImage() {
    if (m_imageChanged || !m_image.changedOnDisk())
        return;
    m_imageChanged = true;
    tell(ImageChanged{m_image.path()});
}

void Scheduler::reapClosed() {
    std::erase_if(m_spent,
                  [](const std::unique_ptr<Attempt>& attempt) { return attempt->closed(); });
}

bool Scheduler::allClosed() const {
    const auto closed = [](const std::unique_ptr<Attempt>& attempt) {
        return !attempt || attempt->closed();
    };
    return std::all_of(m_spent.begin(), m_spent.end(), closed) &&
           std::all_of(m_slots.begin(), m_slots.end(),
                       [&](const std::unique_ptr<Slot>& slot) { return closed(slot->attempt); });
}

void Scheduler::finishIfDone() {
    if (m_finished || !m_started)
        return;
    for (const auto& slot : m_slots) {
        if (slot->step != Slot::Step::Done)
            return;
    }
    if (!allClosed())
        return;
    m_finished = true;
    m_presenceAlarm->stop();
    checkImage();
    m_summary.mode = m_setup.mode;
    if (m_setup.mode == RunMode::Station) {
        m_summary.outcomes = m_boards;
    } else {
        for (const auto& slot : m_slots)
            m_summary.outcomes.push_back({slot->identity, slot->last.value_or(AttemptReport{})});
    }
    m_summary.exitCode = decideExitCode(m_setup.mode, m_summary.outcomes, m_interrupted);
    m_summary.duration = m_parts.clock.now() - m_begin;
    m_summary.imageChangedOnDisk = m_imageChanged;
    m_summary.interrupted = m_interrupted;
    writeRecord(RecordKind::Summary, makeSummaryRecord(m_setup.context, m_image, m_summary,
                                                       std::chrono::system_clock::now()));
    for (RecordSink* sink : m_parts.sinks) {
        for (const std::string& failure : sink->finish()) {
            ++m_recordsNotWritten;
            tell(RecordNotWritten{failure});
        }
    }
    tell(RunFinished{m_summary, m_recordsNotWritten});
    if (m_onFinished)
        m_onFinished();
}

}  // namespace oxu::runs
