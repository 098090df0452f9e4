#include "runs/attempt.h"

#include <cstdio>
#include <variant>

#include "protocol/frames.h"
#include "protocol/watched_update.h"
#include "protocol/window_services.h"

namespace oxu::runs {
namespace {

std::string formatSeconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

// The port as the engine sees it during one attempt. It counts what the port
// took, and turns the engine's close (at completion, or after a failed
// write) into a close that does not hold up the loop: the port is released
// through closeWhenSent, and `released` is told when that is done. Before the
// update it may carry the download command on a close of its own.
class AttemptPort final : public SerialPort {
public:
    using Released = std::function<void(const std::optional<SerialError>&)>;

    AttemptPort(std::unique_ptr<SerialPort> inner, Released released)
        : m_inner(std::move(inner)), m_released(std::move(released)) {
        // Nothing reaches the engine while the download command is on its
        // way out: what the device says then is no answer to an update, and a
        // line lost then is the command's failure, told by its close.
        m_inner->setDataReceivedHandler([this] {
            if (!m_releasing && !m_sendingCommand)
                notifyDataReceived();
        });
        m_inner->setPortLostHandler([this](const SerialError& error) {
            if (!m_releasing && !m_sendingCommand)
                notifyPortLost(error);
        });
    }
    ~AttemptPort() override {
        m_inner->setDataReceivedHandler(nullptr);
        m_inner->setPortLostHandler(nullptr);
    }

    bool isOpen() const override { return !m_releasing && m_inner->isOpen(); }
    void close() override { release(); }
    void setPortNumber(int number) override { m_inner->setPortNumber(number); }
    void setBaudRate(int baud) override { m_inner->setBaudRate(baud); }
    void open() override { m_inner->open(); }
    void write(ByteView bytes) override {
        m_inner->write(bytes);
        m_bytesSent += bytes.size();
    }
    Bytes readAll() override { return m_inner->readAll(); }
    std::string describe() const override { return m_inner->describe(); }

    // Opens the port, writes command in one write and closes it through
    // closeWhenSent; sent is told once the port is closed, with what could
    // not leave. The bytes are not counted as the update's. Throws
    // SerialError when the open or the write fails (a failed write leaves
    // the port open, for release()).
    void sendAndClose(ByteView command, Released sent) {
        m_inner->open();
        m_inner->write(command);
        m_sendingCommand = true;
        m_inner->closeWhenSent([this, sent](const std::optional<SerialError>& failure) {
            m_sendingCommand = false;
            // Released meanwhile (a signal): this close was the release.
            if (m_releasing)
                m_released(failure);
            else
                sent(failure);
        });
    }

    // Lets the port go, once: closeWhenSent when it is open, otherwise at once.
    void release() {
        if (m_releasing)
            return;
        m_releasing = true;
        if (m_sendingCommand)
            return;  // the command's close is under way; it ends the release
        if (m_inner->isOpen())
            m_inner->closeWhenSent(m_released);
        else
            m_released(std::nullopt);
    }

    std::uint64_t bytesSent() const { return m_bytesSent; }

private:
    std::unique_ptr<SerialPort> m_inner;
    Released m_released;
    bool m_releasing = false;
    bool m_sendingCommand = false;  // the download command's close is under way
    std::uint64_t m_bytesSent = 0;
};

// The window services of an attempt: no window. The port and line are set
// by the attempt; every box is dropped (its event has told the listener);
// the tick goes to the run's ticker.
class NoWindow final : public WindowServices {
public:
    std::string portText() const override { return {}; }
    BaudOption selectedBaud() const override { return BaudOption::None; }
    void setStatus(const std::string&) override {}
    void endProgram() override {}

protected:
    Answer showMessageBox(const std::string&, Buttons buttons, Icon,
                          const std::optional<std::string>&) override {
        return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
    }
    std::string showFileDialog(const std::string&) override { return {}; }
};

}  // namespace

// The engine's wiring for one attempt, in this one place: the port, the
// watched update on it, and its tick.
class Attempt::Engine final : private UpdateObserver {
public:
    Engine(Attempt& attempt, std::unique_ptr<SerialPort> port)
        : m_attempt(attempt),
          m_port(std::move(port),
                 [&attempt](const std::optional<SerialError>& failure) {
                     attempt.portReleased(failure);
                 }),
          m_update(m_port, m_window, attempt.m_clock) {
        m_update.setObserver(this);
        m_window.setTickSwitch([this](bool run) {
            m_attempt.m_ticker.set(this, run ? std::function<void()>([this] { m_update.tick(); })
                                             : std::function<void()>());
        });
    }
    ~Engine() override {
        m_attempt.m_ticker.set(this, {});
        m_update.setObserver(nullptr);
    }

    void sendDownloadCommand(int baud, AttemptPort::Released sent) {
        m_port.setBaudRate(baud);
        m_port.sendAndClose(buildDownloadCommand(), std::move(sent));
    }
    void start(int baud, const Bytes& image) {
        m_port.setBaudRate(baud);
        m_update.start(image, PortSelection::AsConfigured);
    }
    void stop() {
        m_update.stopWatching();
        m_port.release();
    }
    UpdateProgress progress() const { return m_update.progress(); }
    void tick() { m_update.tick(); }
    bool heardNothing() const { return m_update.awaitingFirstReply(); }
    std::uint64_t bytesSent() const { return m_port.bytesSent(); }

private:
    void onUpdateEvent(const UpdateEvent& event) override { m_attempt.handleEvent(event); }

    Attempt& m_attempt;
    NoWindow m_window;
    AttemptPort m_port;
    WatchedUpdate m_update;
};

Ticker::Ticker(RunClock& clock) : m_alarm(clock.makeAlarm([this] { fire(); })) {}

void Ticker::set(const void* owner, std::function<void()> tick) {
    if (tick)
        m_ticks[owner] = std::move(tick);
    else
        m_ticks.erase(owner);
    if (m_ticks.empty())
        m_alarm->stop();
    else if (!m_alarm->active())
        m_alarm->start(kInterval);
}

void Ticker::fire() {
    // A tick may take its own owner (or another) off the list.
    const auto ticks = m_ticks;
    for (const auto& [owner, tick] : ticks) {
        if (m_ticks.count(owner) != 0)
            tick();
    }
    if (!m_ticks.empty() && !m_alarm->active())
        m_alarm->start(kInterval);
}

Attempt::Attempt(std::unique_ptr<SerialPort> port, const ImageSnapshot& image, RunClock& clock,
                 Ticker& ticker, Setup setup, Listener& listener)
    : m_image(image),
      m_clock(clock),
      m_ticker(ticker),
      m_setup(std::move(setup)),
      m_listener(listener),
      m_engine(std::make_unique<Engine>(*this, std::move(port))),
      m_giveUp(clock.makeAlarm([this] { checkProgress(); })),
      m_settle(clock.makeAlarm([this] { startUpdate(); })) {}

Attempt::~Attempt() = default;

void Attempt::start() {
    if (m_running || m_ended)
        return;
    m_running = true;
    m_startTime = m_clock.now();
    if (!m_setup.downloadFirst) {
        startUpdate();
        return;
    }
    try {
        m_engine->sendDownloadCommand(
            m_setup.baud,
            [this](const std::optional<SerialError>& failure) { commandClosed(failure); });
    } catch (const SerialError& failure) {
        commandFailed(failure, failure.kind());
    } catch (const std::exception& failure) {
        commandFailed(failure, PortErrorKind::Io);
    }
}

void Attempt::commandClosed(const std::optional<SerialError>& failure) {
    if (!m_running)
        return;
    if (failure) {
        commandFailed(*failure, failure->kind());
        return;
    }
    m_command = DownloadCommandStep::Sent;
    m_listener.downloadCommandSent(*m_setup.downloadFirst);
    // The device restarts into its download mode meanwhile; the port stays
    // closed, and the loop goes on.
    m_settle->start(*m_setup.downloadFirst);
}

// No update is tried on a device that may not have heard the command.
void Attempt::commandFailed(const std::exception& failure, PortErrorKind kind) {
    m_command = DownloadCommandStep::Failed;
    end(RunResult::NotStarted,
        std::string("the download command could not be sent: ") + failure.what(), kind);
}

void Attempt::startUpdate() {
    if (!m_running)
        return;
    try {
        m_engine->start(m_setup.baud, m_image.bytes());
    } catch (const SerialError& failure) {
        end(RunResult::NotStarted, failure.what(), failure.kind());
        return;
    } catch (const std::exception& failure) {
        end(RunResult::NotStarted, failure.what(), PortErrorKind::Io);
        return;
    }
    if (m_running)
        m_giveUp->start(m_setup.timeout);
}

void Attempt::interrupt(Interruption why) {
    end(RunResult::Interrupted, describeInterruption(why));
}

AttemptProgress Attempt::progress() const {
    const UpdateProgress engine = m_engine->progress();
    AttemptProgress progress;
    progress.page = m_page;
    progress.pages = engine.pagesAnnounced;
    progress.pagesServed = engine.pagesServed;
    progress.requestsServed = engine.requestsServed;
    progress.bytesSent = m_engine->bytesSent();
    progress.bytesHeard = engine.bytesHeard;
    progress.elapsed = m_clock.now() - m_startTime;
    return progress;
}

void Attempt::handleEvent(const UpdateEvent& event) {
    if (!m_running)
        return;
    if (const auto* served = std::get_if<PageServed>(&event)) {
        m_page = served->page;
        m_heardAtProgress = m_engine->progress().bytesHeard;
        m_giveUp->start(m_setup.timeout);
    } else if (std::holds_alternative<PageZeroRequested>(event)) {
        m_page = 0;
    }
    m_listener.attemptEvent(event, progress());
    std::visit(
        Overloaded{
            [&](const UpdateCompleted&) { end(RunResult::Complete, {}); },
            [&](const PortLost& lost) { end(RunResult::PortLost, lost.description, lost.kind); },
            [&](const WriteFailed& failed) {
                end(RunResult::PortLost, failed.description, failed.kind);
            },
            // The watchdog's notice of a second's silence: the attempt
            // goes on until --timeout passes without progress.
            [](const auto&) {},
        },
        event);
}

// --timeout without progress: no page served since the start or the last
// page. Bytes that make no request do not count, so a noisy line cannot keep
// an attempt (or the run) alive.
void Attempt::checkProgress() {
    if (!m_running)
        return;
    const auto since = m_clock.now() - m_engine->progress().lastProgress;
    if (since <= m_setup.timeout) {
        m_giveUp->start(m_setup.timeout - since + std::chrono::microseconds(1));
        return;
    }
    // A silent device is told of (once) before the attempt gives up on it:
    // with --timeout at its least, one second, the tick may not have come yet.
    m_engine->tick();
    const std::uint64_t heard = m_engine->progress().bytesHeard - m_heardAtProgress;
    const std::string seconds = formatSeconds(m_setup.timeout);
    const std::string problem = heard == 0
                                    ? "nothing heard for " + seconds + " s"
                                    : groupThousands(heard) + (heard == 1 ? " byte" : " bytes") +
                                          " heard but no valid request for " + seconds +
                                          " s (wrong baud rate or wiring?)";
    end(m_engine->heardNothing() ? RunResult::ConnectionFailed : RunResult::TransferInterrupted,
        problem);
}

void Attempt::end(RunResult result, std::string problem, std::optional<PortErrorKind> kind) {
    if (!m_running)
        return;
    m_running = false;
    m_ended = true;
    m_giveUp->stop();
    m_settle->stop();
    const UpdateProgress engine = m_engine->progress();
    AttemptReport report;
    report.id = m_setup.id;
    report.result = result;
    report.problem = std::move(problem);
    report.errorKind = kind;
    report.attempt = m_setup.attempt;
    report.pagesAnnounced = engine.pagesAnnounced;
    report.pagesServed = engine.requestsServed;
    report.allPagesServed = result == RunResult::NotStarted ? false : engine.allPagesServed();
    report.bytesSent = m_engine->bytesSent();
    report.bytesHeard = engine.bytesHeard;
    report.duration = m_clock.now() - m_startTime;
    report.downloadCommand = m_command;
    m_listener.attemptEnded(report);
    m_engine->stop();
    if (m_released && !m_closed) {
        m_closed = true;
        m_listener.attemptClosed(m_closeFailure);
    }
}

void Attempt::portReleased(const std::optional<SerialError>& failure) {
    m_released = true;
    m_closeFailure = failure;
    // The engine closes at completion before it reports it: the listener
    // hears of the close after the end.
    if (m_ended && !m_closed) {
        m_closed = true;
        m_listener.attemptClosed(failure);
    }
}

}  // namespace oxu::runs
