#include "cli/port_run.h"

#include <algorithm>
#include <cstdio>
#include <variant>

#include "cli/json_report.h"
#include "cli/terminal_window.h"
#include "protocol/port_setup.h"

namespace oxu::cli {
namespace {

std::string formatSeconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

}  // namespace

WatchdogTicker::WatchdogTicker() {
    m_timer.setInterval(kInterval);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        // A tick may take its own owner (or another) off the list.
        const auto ticks = m_ticks;
        for (const auto& [owner, tick] : ticks)
            tick();
    });
}

void WatchdogTicker::set(const void* owner, std::function<void()> tick, bool run) {
    if (run)
        m_ticks[owner] = std::move(tick);
    else
        m_ticks.erase(owner);
    if (m_ticks.empty())
        m_timer.stop();
    else if (!m_timer.isActive())
        m_timer.start();
}

// The window services of one port: no window at all. Every box becomes a
// message; the file is the one named on the command line. The port and its
// line are set up by the run itself, so the port text and baud option are
// only what they would show.
class PortRun::Window final : public WindowServices {
public:
    explicit Window(PortRun& run) : m_run(run) {}

    std::string portText() const override { return std::to_string(m_run.m_setup.port); }
    BaudOption selectedBaud() const override { return baudOptionFor(m_run.m_setup.baud); }
    void setStatus(const std::string&) override {}
    void endProgram() override { m_run.interrupt(); }

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon /*icon*/,
                          const std::optional<std::string>& /*title*/) override {
        // An update asks nothing; should it, nobody agreed.
        if (buttons == Buttons::YesNo)
            return Answer::No;
        m_run.m_hooks.onMessage(text);
        return Answer::Ok;
    }
    std::string showFileDialog(const std::string& /*filter*/) override {
        return m_run.m_setup.file;
    }

private:
    PortRun& m_run;
};

PortRun::PortRun(RunSetup setup, Clock& clock, WatchdogTicker& ticker, Hooks hooks)
    : m_setup(std::move(setup)),
      m_clock(clock),
      m_ticker(ticker),
      m_hooks(std::move(hooks)),
      m_port(m_serial, clock, m_setup.trace),
      m_window(std::make_unique<Window>(*this)),
      m_update(m_port, *m_window, clock),
      m_observer([this](const UpdateEvent& event) { handleEvent(event); }) {
    m_update.setObserver(&m_observer);
    m_window->setTickSwitch([this](bool run) { switchTick(run); });
    m_giveUp.setSingleShot(true);
    QObject::connect(&m_giveUp, &QTimer::timeout, [this] { checkSilence(); });
}

PortRun::~PortRun() {
    m_ticker.set(this, {}, false);
    m_update.setObserver(nullptr);
    // Whoever listened may be gone already.
    m_hooks = {};
    closePort();
}

void PortRun::start(int attempt) {
    if (m_running)
        return;
    m_report = AttemptReport{};
    m_report.attempt = attempt;
    m_running = true;
    m_started = false;
    m_startTime = m_clock.now();
    m_bytesAtStart = m_port.bytesWritten();
    // What the line's driver said to low latency, once per open.
    auto traceLowLatency = [this] {
        if (m_setup.trace != nullptr && m_serial.lowLatency().outcome != LowLatency::NotTried)
            m_hooks.onMessage(m_serial.describe() + ": " +
                              describeLowLatency(m_serial.lowLatency()));
    };
    try {
        closeQuietly(m_port);
        if (m_setup.device)
            m_serial.setDevicePath(m_setup.port, *m_setup.device);
        else
            m_port.setPortNumber(m_setup.port);
        m_port.setBaudRate(m_setup.baud);
        m_update.start(m_setup.file, PortSelection::AsConfigured);
    } catch (const std::exception& failure) {
        traceLowLatency();
        m_port.flushTrace();
        if (const auto* portFailure = dynamic_cast<const SerialError*>(&failure))
            m_report.errorKind = portFailure->kind();
        end(RunResult::NotStarted, failure.what());
        return;
    }
    traceLowLatency();
    m_port.flushTrace();
    if (!m_started) {
        // Checked before the run began; it went away in between.
        end(RunResult::NotStarted, "the firmware file \"" + m_setup.file + "\" is no longer there");
    }
}

void PortRun::interrupt() {
    end(RunResult::Interrupted, "interrupted by a signal");
}

void PortRun::handleEvent(const UpdateEvent& event) {
    if (m_hooks.onEvent)
        m_hooks.onEvent(event);
    std::visit(Overloaded{
                   [&](const UpdateStarted& started) {
                       m_started = true;
                       m_report.pagesAnnounced = started.pages;
                       m_report.imageSha256 = sha256Hex(m_update.image());
                   },
                   [&](const PageServed&) { ++m_report.pagesServed; },
                   [&](const UpdateCompleted& completed) {
                       // The device has its image: bytes the close could not
                       // send after that change nothing but deserve a word.
                       if (!completed.closeProblem.empty() && m_hooks.onMessage)
                           m_hooks.onMessage("warning: " + completed.closeProblem);
                       end(RunResult::Complete, "");
                   },
                   [&](const PortLost& lost) {
                       m_report.errorKind = lost.kind;
                       end(RunResult::PortLost, lost.description);
                   },
                   [&](const WriteFailed& failed) {
                       m_report.errorKind = failed.kind;
                       end(RunResult::PortLost, failed.description);
                   },
                   // A silent device is reported at once; the attempt gives up
                   // only after --timeout (checkSilence).
                   [](const auto&) {},
               },
               event);
}

// The watchdog ticks only while the update is watched; the engine switches
// the tick. It reports one second of silence and stops watching; the attempt
// gives up only after --timeout of silence, since a device that speaks again
// re-arms it and the update can still complete.
void PortRun::switchTick(bool run) {
    if (run) {
        m_lastHeard = m_update.lastActivity();
        m_giveUp.stop();
        m_ticker.set(
            this, [this] { tick(); }, true);
        return;
    }
    m_ticker.set(this, {}, false);
    // Nothing watched and the attempt not over: the watchdog has reported a
    // silence. Wait for the rest of --timeout, without waking before.
    if (m_running)
        armGiveUp();
}

void PortRun::tick() {
    if (m_update.watching())
        m_lastHeard = m_update.lastActivity();
    m_update.tick();
}

void PortRun::armGiveUp() {
    const auto silent =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.now() - m_lastHeard);
    m_giveUp.start(std::max(m_setup.timeout - silent + std::chrono::milliseconds(1),
                            std::chrono::milliseconds(0)));
}

void PortRun::checkSilence() {
    if (!m_running || m_update.watching())
        return;
    if (m_clock.now() - m_lastHeard <= m_setup.timeout) {
        armGiveUp();
        return;
    }
    const std::string seconds = formatSeconds(m_setup.timeout);
    m_hooks.onMessage("giving up: nothing heard from " + describe() + " for " + seconds + " s");
    end(m_update.awaitingFirstReply() ? RunResult::ConnectionFailed
                                      : RunResult::TransferInterrupted,
        "nothing heard for " + seconds + " s");
}

void PortRun::end(RunResult result, const std::string& problem) {
    if (!m_running)
        return;
    m_running = false;
    m_giveUp.stop();
    // Stop watching: nothing more is to be reported of this attempt.
    m_update.stopWatching();
    m_report.result = result;
    m_report.problem = problem;
    m_report.bytesSent = bytesSent();
    m_report.duration = m_clock.now() - m_startTime;
    if (m_hooks.onEnd)
        m_hooks.onEnd(m_report);
    closePort();
}

// A close that could not write out what was queued says so, once.
void PortRun::closePort() {
    if (const std::optional<std::string> failure = closeQuietly(m_port);
        failure && m_hooks.onMessage)
        m_hooks.onMessage(*failure);
}

}  // namespace oxu::cli
