#pragma once

// A production line without hardware or a loop: a clock that moves only when
// told and fires the alarms it passes, ports whose devices follow a script
// (honest, silent, noisy, lost part-way, slow to close), boards that come and
// go, and an observer and a record sink that keep everything, for driving
// the runs/ scheduler step by step.

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/frames.h"
#include "runs/ports.h"
#include "runs/records.h"
#include "runs/run_clock.h"
#include "runs/run_events.h"
#include "tests/kit/fakes.h"

namespace oxu::testkit {

class FakeRunClock final : public runs::RunClock {
public:
    std::chrono::microseconds now() const override { return m_now; }

    std::unique_ptr<runs::Alarm> makeAlarm(std::function<void()> fire) override {
        return std::make_unique<FakeAlarm>(*this, std::move(fire));
    }

    // The alarms started and not yet fired or stopped.
    std::size_t activeAlarms() const {
        return static_cast<std::size_t>(
            std::count_if(m_alarms.begin(), m_alarms.end(),
                          [](const FakeAlarm* alarm) { return alarm->m_active; }));
    }

    // Moves time on by span, firing every alarm that falls due on the way,
    // each at its own time and in time order.
    void advance(std::chrono::microseconds span) {
        runUntil([] { return false; }, span);
    }

    // Moves time on until done() holds (checked after every alarm) or limit
    // has passed. Returns whether done() held.
    bool runUntil(const std::function<bool()>& done, std::chrono::microseconds limit) {
        const auto end = m_now + limit;
        while (!done()) {
            FakeAlarm* next = nullptr;
            for (FakeAlarm* alarm : m_alarms) {
                if (alarm->m_active && alarm->m_due <= end &&
                    (next == nullptr || alarm->m_due < next->m_due ||
                     (alarm->m_due == next->m_due && alarm->m_order < next->m_order)))
                    next = alarm;
            }
            if (next == nullptr) {
                m_now = end;
                return done();
            }
            m_now = std::max(m_now, next->m_due);
            next->m_active = false;
            next->m_fire();
        }
        return true;
    }

private:
    class FakeAlarm final : public runs::Alarm {
    public:
        FakeAlarm(FakeRunClock& clock, std::function<void()> fire)
            : m_clock(clock), m_fire(std::move(fire)) {
            m_clock.m_alarms.push_back(this);
        }
        ~FakeAlarm() override { std::erase(m_clock.m_alarms, this); }
        void start(std::chrono::microseconds after) override {
            m_due = m_clock.m_now + std::max(after, std::chrono::microseconds(0));
            m_order = ++m_clock.m_started;
            m_active = true;
        }
        void stop() override { m_active = false; }
        bool active() const override { return m_active; }

        FakeRunClock& m_clock;
        std::function<void()> m_fire;
        std::chrono::microseconds m_due{0};
        unsigned long m_order = 0;  // alarms due at once fire in the order started
        bool m_active = false;
    };

    std::chrono::microseconds m_now{1'000'000};
    std::vector<FakeAlarm*> m_alarms;
    unsigned long m_started = 0;
};

// What a scripted device does when the program talks to it.
struct DeviceScript {
    bool silent = false;             // answers nothing, ever
    int silentAttempts = 0;          // answers nothing to its first N headers, then is honest
    std::optional<int> loseAfter{};  // the line is lost after this many pages checked out
    bool completeAtOnce = false;     // 0x55 right after the header, no page asked for
    // Sends a zero byte this often from the header on, and never a request.
    std::chrono::milliseconds floodEvery{0};
    std::string openFailure{};  // open() fails with this text
    PortErrorKind openKind = PortErrorKind::Busy;
    std::chrono::milliseconds closeTakes{0};   // closeWhenSent waits this long on the line
    std::chrono::milliseconds answerAfter{2};  // each request (or 0x55) this long after its cue
    std::string commandWriteFailure{};         // writing the download command fails with this text
    std::string commandCloseFailure{};         // the close after the download command reports this
};

// What one port (one attempt's port) saw.
struct PortLog {
    int number = 0;
    Bytes written;
    bool closedWhenSent = false;                      // released through closeWhenSent
    bool closedAtOnce = false;                        // released through close()
    std::chrono::microseconds headerAt{0};            // when the header had arrived
    std::chrono::microseconds closeAsked{0};          // when closeWhenSent was called
    std::vector<std::chrono::microseconds> answered;  // when each page frame was complete
    // What happened on the port, in order, and when: "open", "command" (the
    // download command written), "header", "close asked", "closed".
    std::vector<std::pair<std::string, std::chrono::microseconds>> steps;

    std::vector<std::string> stepNames() const {
        std::vector<std::string> names;
        for (const auto& step : steps)
            names.push_back(step.first);
        return names;
    }
    // When the nth (from 0) step called name happened; -1 s when it did not.
    std::chrono::microseconds timeOf(const std::string& name, int nth = 0) const {
        for (const auto& step : steps) {
            if (step.first == name && nth-- == 0)
                return step.second;
        }
        return std::chrono::seconds(-1);
    }
};

// A port whose device follows a script: it requests page after page as each
// frame arrives whole, then reports completion.
class ScriptedPort final : public FakePort {
public:
    ScriptedPort(FakeRunClock& clock, DeviceScript script, std::size_t imageSize, int* headersSeen,
                 std::shared_ptr<PortLog> log)
        : m_clock(clock),
          m_script(std::move(script)),
          m_imageSize(imageSize),
          m_headersSeen(headersSeen),
          m_log(std::move(log)),
          m_answer(clock.makeAlarm([this] { answer(); })),
          m_flood(clock.makeAlarm([this] { flood(); })),
          m_drained(clock.makeAlarm([this] { drained(); })) {
        openFailure = m_script.openFailure;
        failureKind = m_script.openKind;
        portNumber = m_log->number;
    }

    void open() override {
        note("open");
        FakePort::open();
    }
    void write(ByteView bytes) override {
        // A device out of its download mode takes the command alone, as the
        // first bytes on an open line.
        if (m_expect == 0 && m_pending == 0 && Bytes(bytes.begin(), bytes.end()) == m_command) {
            note("command");
            if (!m_script.commandWriteFailure.empty())
                throw SerialError(PortErrorKind::Io, m_script.commandWriteFailure);
            FakePort::write(bytes);
            m_log->written.insert(m_log->written.end(), bytes.begin(), bytes.end());
            m_commandSent = true;
            return;
        }
        FakePort::write(bytes);
        m_log->written.insert(m_log->written.end(), bytes.begin(), bytes.end());
        m_pending += bytes.size();
        if (m_expect == 0 && m_pending >= kHeaderFrameSize) {
            m_pending -= kHeaderFrameSize;
            heardHeader();
        } else if (m_expect > 0 && m_pending >= m_expect) {
            m_pending -= m_expect;
            m_expect = SIZE_MAX;
            m_log->answered.push_back(m_clock.now());
            pageArrived();
        }
    }
    void close() override {
        m_log->closedAtOnce = true;
        stopDevice();
        FakePort::close();
    }
    void closeWhenSent(ClosedHandler done) override {
        note("close asked");
        m_log->closedWhenSent = true;
        m_log->closeAsked = m_clock.now();
        stopDevice();
        m_done = std::move(done);
        if (m_script.closeTakes.count() == 0)
            drained();
        else
            m_drained->start(m_script.closeTakes);
    }

private:
    int pages() const { return static_cast<int>((m_imageSize + PageSize - 1) / PageSize); }
    std::size_t frameSize(int page) const {
        const std::size_t start = (static_cast<std::size_t>(page) - 1) * PageSize;
        return std::min(PageSize, m_imageSize - start) + 2;
    }

    void note(const std::string& step) { m_log->steps.push_back({step, m_clock.now()}); }

    void heardHeader() {
        note("header");
        const int header = ++*m_headersSeen;
        m_log->headerAt = m_clock.now();
        if (m_script.floodEvery.count() > 0)
            m_flood->start(m_script.floodEvery);
        if (m_script.silent || header <= m_script.silentAttempts || m_script.floodEvery.count() > 0)
            return;
        m_next = m_script.completeAtOnce || pages() == 0 ? 0 : 1;
        m_answer->start(m_script.answerAfter);
    }
    void pageArrived() {
        if (m_script.loseAfter && m_next == *m_script.loseAfter) {
            m_lose = true;
        } else {
            m_next = m_next == pages() ? 0 : m_next + 1;
        }
        m_answer->start(m_script.answerAfter);
    }
    void answer() {
        if (!isOpen())
            return;
        if (m_lose) {
            stopDevice();
            loseLine("The connection to COM " + std::to_string(m_log->number) + " was lost");
            return;
        }
        if (m_next == 0) {
            deliver({kCompletionByte});
            return;
        }
        m_expect = frameSize(m_next);
        deliver({kFrameMark, static_cast<std::uint8_t>(m_next)});
    }
    void flood() {
        if (!isOpen())
            return;
        m_flood->start(m_script.floodEvery);
        deliver({0x00});
    }
    void drained() {
        note("closed");
        FakePort::close();
        std::optional<SerialError> failure;
        if (std::exchange(m_commandSent, false) && !m_script.commandCloseFailure.empty())
            failure = SerialError(PortErrorKind::Stalled, m_script.commandCloseFailure);
        if (ClosedHandler done = std::move(m_done))
            done(failure);
    }
    void stopDevice() {
        m_answer->stop();
        m_flood->stop();
    }

    FakeRunClock& m_clock;
    DeviceScript m_script;
    std::size_t m_imageSize;
    int* m_headersSeen;
    std::shared_ptr<PortLog> m_log;
    std::unique_ptr<runs::Alarm> m_answer;
    std::unique_ptr<runs::Alarm> m_flood;
    std::unique_ptr<runs::Alarm> m_drained;
    ClosedHandler m_done;
    std::size_t m_pending = 0;  // bytes written and not yet taken as a frame
    std::size_t m_expect = 0;   // size of the frame awaited; 0 for the header
    int m_next = 1;             // the page to request next; 0 for completion
    bool m_lose = false;
    bool m_commandSent = false;  // the download command is out; its close comes next
    const Bytes m_command = buildDownloadCommand();
};

// Ports 1..16 with scripted devices, and boards that a test puts in and
// takes out.
class ScriptedPorts final : public runs::PortFactory, public runs::Presence {
public:
    ScriptedPorts(FakeRunClock& clock, std::size_t imageSize)
        : m_clock(clock), m_imageSize(imageSize) {}

    runs::PortIdentity identify(const runs::PortRequest& request) override {
        runs::PortIdentity identity;
        identity.number = request.number;
        identity.device = request.device.value_or("/dev/ttyFAKE" + std::to_string(request.number));
        identity.names.realPath = identity.device;
        identity.adapter.serialNumber =
            "SN" + std::to_string(request.number) + "-" + std::to_string(boards[request.number]);
        return identity;
    }
    std::unique_ptr<SerialPort> makePort(const runs::PortRequest& request,
                                         const runs::PortIdentity&) override {
        auto log = std::make_shared<PortLog>();
        log->number = request.number;
        logs.push_back(log);
        return std::make_unique<ScriptedPort>(m_clock, scripts[request.number], m_imageSize,
                                              &m_headers[request.number], log);
    }
    bool boardPresent(const runs::PortRequest& request) override { return present[request.number]; }

    // The ports made for number, in order: one per attempt.
    std::vector<std::shared_ptr<PortLog>> logsOf(int number) const {
        std::vector<std::shared_ptr<PortLog>> found;
        for (const auto& log : logs) {
            if (log->number == number)
                found.push_back(log);
        }
        return found;
    }

    std::map<int, DeviceScript> scripts;
    std::map<int, bool> present;
    std::map<int, int> boards;  // station mode: which board is on the port (its serial number)
    std::vector<std::shared_ptr<PortLog>> logs;

private:
    FakeRunClock& m_clock;
    std::size_t m_imageSize;
    std::map<int, int> m_headers;
};

// Keeps every event of a run.
class RecordingRunObserver final : public runs::RunObserver {
public:
    void onRunEvent(const runs::RunEvent& event) override {
        events.push_back(event);
        if (whenTold)
            whenTold(event);
    }

    template <class Event>
    std::vector<Event> all() const {
        std::vector<Event> found;
        for (const runs::RunEvent& event : events) {
            if (const auto* match = std::get_if<Event>(&event))
                found.push_back(*match);
        }
        return found;
    }

    std::vector<runs::RunEvent> events;
    std::function<void(const runs::RunEvent&)> whenTold;
};

// Keeps every record, or refuses them with a reason.
class MemorySink final : public runs::RecordSink {
public:
    std::optional<std::string> write(runs::RecordKind kind, const QJsonObject& record) override {
        if (whenWritten)
            whenWritten(kind, record);
        if (!refusal.empty())
            return refusal;
        records.push_back({kind, record});
        return std::nullopt;
    }

    std::vector<QJsonObject> of(runs::RecordKind kind) const {
        std::vector<QJsonObject> found;
        for (const auto& [recordKind, record] : records) {
            if (recordKind == kind)
                found.push_back(record);
        }
        return found;
    }

    std::vector<std::pair<runs::RecordKind, QJsonObject>> records;
    std::string refusal;
    std::function<void(runs::RecordKind, const QJsonObject&)> whenWritten;
};

}  // namespace oxu::testkit
