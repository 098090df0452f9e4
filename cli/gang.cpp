#include "cli/gang.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <streambuf>
#include <variant>

#include "cli/audit_log.h"
#include "cli/gang_display.h"
#include "cli/json_report.h"
#include "cli/port_run.h"
#include "cli/progress.h"
#include "cli/signal_watch.h"
#include "cli/terminal_window.h"
#include "protocol/firmware_image.h"
#include "serial/port_mapping.h"

namespace oxu::cli {
namespace {

using std::chrono::milliseconds;

// Before a failed port starts again: a device that resets on a failure, or an
// adapter coming back after an unplug, gets a moment.
constexpr milliseconds kRetryPause{500};
constexpr const char* kRetryPauseText = "0.5 s";
// Station mode: how often each port's device is looked for, and how long a
// device that appeared is left alone before it is opened (the system sets
// up a new device node, its permissions too, a moment after it appears).
constexpr milliseconds kPresencePoll{250};
constexpr milliseconds kSettleTime{500};

std::string portName(const PortIdentity& port) {
    return "COM " + std::to_string(port.number);
}

// Writes to another stream, starting every line with a prefix: the trace of
// one port among several.
class PrefixedLines final : public std::streambuf {
public:
    PrefixedLines(std::ostream& out, std::string prefix)
        : m_out(out), m_prefix(std::move(prefix)) {}

protected:
    int overflow(int c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        if (m_lineStart)
            m_out << m_prefix;
        m_out.put(traits_type::to_char_type(c));
        m_lineStart = c == '\n';
        return c;
    }
    int sync() override {
        m_out.flush();
        return 0;
    }

private:
    std::ostream& m_out;
    std::string m_prefix;
    bool m_lineStart = true;
};

// How a run shows itself to people. Slots are the ports in the order given.
class Presenter {
public:
    virtual ~Presenter() = default;
    // An attempt is about to start on the port.
    virtual void attemptStarting(std::size_t slot, const PortRun& run) = 0;
    // Its header went out.
    virtual void attemptStarted(std::size_t slot, const PortRun& run, const PortIdentity& port,
                                int attempt) = 0;
    virtual void event(std::size_t slot, const PortRun& run, const UpdateEvent& event) = 0;
    // A text the port's update has for people.
    virtual void message(std::size_t slot, const std::string& text) = 0;
    // The attempt is over; `again` when the port is to start again.
    virtual void attemptEnded(std::size_t slot, const AttemptReport& report, bool again) = 0;
    // Station mode: what the port waits for.
    virtual void stationState(std::size_t slot, const std::string& state) = 0;
    // A line about the whole run.
    virtual void note(const std::string& text) = 0;
    // Redraws what moved on; called every GangDisplay::kRedrawInterval.
    virtual void refresh() {}
    // The run is over.
    virtual void finished(const std::vector<PortOutcome>& outcomes) = 0;
};

std::string describeAgain(int attempt, int attempts) {
    return "starting again in " + std::string(kRetryPauseText) + " (attempt " +
           std::to_string(attempt + 1) + " of " + std::to_string(attempts) + ")";
}

// One port, shown as oxu-update has always shown it: one progress line that
// rewrites itself, or a line a page; messages on standard error.
class SinglePresenter final : public Presenter {
public:
    SinglePresenter(const Options& options, std::uint64_t imageBytes, const Clock& clock)
        : m_options(options), m_imageBytes(imageBytes), m_clock(clock) {
        // A rewriting line only where someone watches it; logs get a line a
        // page. With --json, standard output carries JSON alone.
        const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
        const bool stdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
        m_out = stderrIsTerminal || options.json ? &std::cerr : &std::cout;
        m_terminal = stderrIsTerminal || (stdoutIsTerminal && !options.json);
    }

    void attemptStarting(std::size_t, const PortRun& run) override {
        m_progress = std::make_unique<ProgressDisplay>(
            *m_out, m_terminal, m_clock, [&run] { return run.bytesSent(); }, m_imageBytes);
    }
    void attemptStarted(std::size_t, const PortRun& run, const PortIdentity&, int) override {
        printLine("sending \"" + m_options.file + "\" (" + std::to_string(m_imageBytes) +
                  " bytes, " + std::to_string(pageCount(m_imageBytes)) + " pages) to " +
                  run.describe() + " at " + std::to_string(m_options.baud) + " baud");
    }
    void event(std::size_t, const PortRun&, const UpdateEvent& event) override {
        std::visit(Overloaded{
                       [&](const PageServed& served) { m_progress->showPage(served.page); },
                       [&](const PageZeroRequested&) { m_progress->showPage(0); },
                       [&](const UpdateCompleted&) { m_progress->interrupt(); },
                       [](const auto&) {},
                   },
                   event);
    }
    void message(std::size_t, const std::string& text) override { note(text); }
    void attemptEnded(std::size_t, const AttemptReport& report, bool again) override {
        endProgressLine();
        if (report.result == RunResult::NotStarted)
            printLine("the update could not start: " + report.problem);
        if (again)
            printLine(describeAgain(report.attempt, m_options.retries + 1));
    }
    void stationState(std::size_t, const std::string&) override {}
    void note(const std::string& text) override {
        endProgressLine();
        printLine(text);
    }
    void finished(const std::vector<PortOutcome>&) override {}

private:
    void endProgressLine() {
        if (m_progress)
            m_progress->interrupt();
    }

    const Options& m_options;
    std::uint64_t m_imageBytes;
    const Clock& m_clock;
    std::ostream* m_out = nullptr;
    bool m_terminal = false;
    std::unique_ptr<ProgressDisplay> m_progress;
};

// Several ports (or station mode): a line per port, a message naming its
// port, and the summary table at the end.
class GangPresenter final : public Presenter {
public:
    // progress takes the port lines, tableOut the summary.
    GangPresenter(const Options& options, std::uint64_t imageBytes, const Clock& clock, bool live,
                  int columns, std::ostream& progress, std::ostream& tableOut)
        : m_display(progress, std::cerr, live, columns, clock, portNumbers(options)),
          m_out(tableOut),
          m_pages(static_cast<int>(pageCount(imageBytes))),
          m_attempts(options.retries + 1),
          m_numbers(portNumbers(options)) {
        // Every line shows the pages to come from the first drawing on.
        for (std::size_t slot = 0; slot < m_numbers.size(); ++slot)
            m_display.startAttempt(slot, m_pages);
    }

    void attemptStarting(std::size_t slot, const PortRun&) override {
        m_display.startAttempt(slot, m_pages);
    }
    void attemptStarted(std::size_t slot, const PortRun&, const PortIdentity& port,
                        int attempt) override {
        std::string state = "sending to " + port.device;
        if (attempt > 1)
            state +=
                " (attempt " + std::to_string(attempt) + " of " + std::to_string(m_attempts) + ")";
        m_display.showState(slot, state);
    }
    void event(std::size_t slot, const PortRun& run, const UpdateEvent& event) override {
        std::visit(
            Overloaded{
                [&](const PageServed& served) {
                    m_display.showPage(slot, served.page, run.bytesSent());
                },
                [&](const PageZeroRequested&) { m_display.showPage(slot, 0, run.bytesSent()); },
                [&](const ConnectionFailed&) { m_display.showState(slot, "no answer"); },
                [&](const TransferInterrupted&) { m_display.showState(slot, "silent"); },
                [](const auto&) {},
            },
            event);
    }
    void message(std::size_t slot, const std::string& text) override {
        m_display.showMessage(std::string(kProgramName) + ": COM " +
                              std::to_string(m_numbers[slot]) + ": " + text);
    }
    void attemptEnded(std::size_t slot, const AttemptReport& report, bool again) override {
        if (report.result == RunResult::NotStarted)
            message(slot, "the update could not start: " + report.problem);
        std::string state = describeResult(report.result);
        if (again)
            state += "; " + describeAgain(report.attempt, m_attempts);
        m_display.endAttempt(slot, state);
    }
    void stationState(std::size_t slot, const std::string& state) override {
        m_display.showState(slot, state);
    }
    void note(const std::string& text) override {
        m_display.showMessage(std::string(kProgramName) + ": " + text);
    }
    void refresh() override { m_display.refresh(); }
    void finished(const std::vector<PortOutcome>& outcomes) override {
        m_display.finish();
        m_out << formatSummaryTable(outcomes) << std::flush;
    }

private:
    static std::vector<int> portNumbers(const Options& options) {
        std::vector<int> numbers;
        for (const PortChoice& choice : options.ports)
            numbers.push_back(choice.number);
        return numbers;
    }

    GangDisplay m_display;
    std::ostream& m_out;
    int m_pages;
    int m_attempts;
    std::vector<int> m_numbers;
};

// Whether a port has a device now: its path names a character device.
bool devicePresent(const PortChoice& port, std::string* device) {
    const PortResolution resolution = resolvePort(port.number, port.device);
    struct stat info {};
    if (!resolution.found() || ::stat(resolution.device.c_str(), &info) != 0 ||
        !S_ISCHR(info.st_mode))
        return false;
    *device = resolution.device;
    return true;
}

// Two ports on one device would fight over it: the first such pair, as a
// message; empty when every port has a device of its own.
std::string findSharedDevice(const std::vector<PortIdentity>& ports) {
    std::vector<std::filesystem::path> devices;
    for (const PortIdentity& port : ports) {
        std::error_code error;
        const std::filesystem::path device = std::filesystem::weakly_canonical(port.device, error);
        devices.push_back(port.device.empty() ? std::filesystem::path()
                          : error             ? std::filesystem::path(port.device)
                                              : device);
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t j = i + 1; j < ports.size(); ++j) {
            if (!devices[i].empty() && devices[i] == devices[j])
                return portName(ports[i]) + " (" + ports[i].device + ") and " + portName(ports[j]) +
                       " (" + ports[j].device + ") are the same device (" + devices[i].string() +
                       "); give each port its own";
        }
    }
    return {};
}

// The ports of one run on one event loop: their attempts, the retries, the
// records, station mode, and the end.
class Gang {
public:
    Gang(const Options& options, const RunContext& context, AuditLog* log, Presenter& presenter,
         Clock& clock, const std::vector<PortIdentity>& ports, bool live)
        : m_options(options),
          m_context(context),
          m_log(log),
          m_presenter(presenter),
          m_clock(clock),
          m_live(live) {
        for (std::size_t i = 0; i < ports.size(); ++i) {
            auto slot = std::make_unique<Slot>();
            slot->identity = ports[i];
            std::ostream* trace = nullptr;
            if (options.trace && ports.size() == 1) {
                trace = &std::cerr;
            } else if (options.trace) {
                slot->traceLines =
                    std::make_unique<PrefixedLines>(std::cerr, portName(ports[i]) + ": ");
                slot->trace = std::make_unique<std::ostream>(slot->traceLines.get());
                trace = slot->trace.get();
            }
            Slot* raw = slot.get();
            PortRun::Hooks hooks;
            hooks.onEvent = [this, i, raw](const UpdateEvent& event) {
                m_presenter.event(i, *raw->run, event);
            };
            hooks.onMessage = [this, i](const std::string& text) { m_presenter.message(i, text); };
            hooks.onEnd = [this, i](const AttemptReport& report) { attemptEnded(i, report); };
            slot->run = std::make_unique<PortRun>(
                RunSetup{ports[i].number, options.ports[i].device, options.baud, options.timeout,
                         options.file, trace},
                clock, m_ticker, std::move(hooks));
            slot->timer.setSingleShot(true);
            QObject::connect(&slot->timer, &QTimer::timeout, [this, i] { slotTimerFired(i); });
            m_slots.push_back(std::move(slot));
        }
        m_presence.setInterval(kPresencePoll);
        QObject::connect(&m_presence, &QTimer::timeout, [this] { pollPresence(); });
        m_refresh.setInterval(GangDisplay::kRedrawInterval);
        QObject::connect(&m_refresh, &QTimer::timeout, [this] { m_presenter.refresh(); });
    }

    // Runs every port to its end (station mode: until a signal). Returns the
    // exit code.
    int exec() {
        const std::chrono::microseconds begin = m_clock.now();
        QSocketNotifier signalNotifier(signalPipeFd(), QSocketNotifier::Read);
        signalNotifier.setEnabled(signalPipeFd() >= 0);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, [this] { interrupt(); });
        if (m_live)
            m_refresh.start();

        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            if (m_options.station) {
                m_slots[i]->phase = Phase::Absent;
                m_presenter.stationState(i, "waiting for a device");
            } else {
                startAttempt(i);
            }
        }
        if (m_options.station) {
            m_presence.start();
            pollPresence();
        }
        if (!allDone())
            m_loop.exec();
        // A signal that came while the last port closed (its final drain
        // blocks the loop for a moment) still ends the run as interrupted.
        if (caughtSignal() != 0)
            interrupt();
        m_presence.stop();
        m_refresh.stop();

        std::vector<PortOutcome> outcomes = m_boards;
        if (!m_options.station) {
            for (const auto& slot : m_slots)
                outcomes.push_back({slot->identity, slot->last.value_or(AttemptReport{})});
        }
        const int exitCode = decideExitCode(outcomes);
        m_presenter.finished(outcomes);
        if (m_unlogged > 0) {
            m_presenter.note(std::to_string(m_unlogged) + " record(s) could not be written to " +
                             "the audit log \"" + m_log->path() + "\" (see above)");
        }
        if (m_options.json) {
            RunSummary summary;
            summary.mode = m_options.station ? "station" : m_slots.size() == 1 ? "single" : "gang";
            summary.outcomes = outcomes;
            summary.exitCode = exitCode;
            summary.duration = m_clock.now() - begin;
            std::cout << toJsonLine(makeSummaryRecord(m_context, summary,
                                                      std::chrono::system_clock::now()))
                      << std::flush;
        }
        return exitCode;
    }

private:
    enum class Phase {
        Running,   // an attempt is under way
        Pausing,   // failed; starts again when the timer fires
        Done,      // over (not in station mode)
        Absent,    // station: waiting for a device to appear
        Settling,  // station: a device appeared; opened when the timer fires
        Present,   // station: flashed; waiting for the device to go
    };

    struct Slot {
        PortIdentity identity;
        std::unique_ptr<PrefixedLines> traceLines;
        std::unique_ptr<std::ostream> trace;
        std::unique_ptr<PortRun> run;
        Phase phase = Phase::Done;
        int attempt = 0;  // attempts begun on this port (this board, in station mode)
        std::optional<AttemptReport> last;
        QTimer timer;
    };

    bool allDone() const {
        if (m_options.station)
            return false;
        for (const auto& slot : m_slots) {
            if (slot->phase != Phase::Done)
                return false;
        }
        return true;
    }

    void startAttempt(std::size_t i) {
        Slot& slot = *m_slots[i];
        slot.phase = Phase::Running;
        ++slot.attempt;
        m_presenter.attemptStarting(i, *slot.run);
        slot.run->start(slot.attempt);
        if (slot.run->running())
            m_presenter.attemptStarted(i, *slot.run, slot.identity, slot.attempt);
    }

    void attemptEnded(std::size_t i, const AttemptReport& report) {
        Slot& slot = *m_slots[i];
        slot.last = report;
        record(i, report);
        const bool failed =
            report.result != RunResult::Complete && report.result != RunResult::Interrupted;
        const bool again = failed && !m_interrupted && report.attempt <= m_options.retries;
        m_presenter.attemptEnded(i, report, again);
        if (report.result == RunResult::Interrupted)
            m_cutShort = true;
        if (again) {
            slot.phase = Phase::Pausing;
            slot.timer.start(kRetryPause);
        } else if (m_options.station) {
            boardDone(i, report);
        } else {
            slot.phase = Phase::Done;
            if (allDone())
                m_loop.exit(0);
        }
    }

    // The attempt's record: a JSON line on standard output, and in the log.
    void record(std::size_t i, const AttemptReport& report) {
        if (!m_options.json && m_log == nullptr)
            return;
        const std::string line = toJsonLine(makeAttemptRecord(
            m_context, m_slots[i]->identity, report, std::chrono::system_clock::now()));
        if (m_options.json)
            std::cout << line << std::flush;
        if (m_log == nullptr)
            return;
        try {
            m_log->append(line);
        } catch (const AuditLogError& failure) {
            ++m_unlogged;
            m_presenter.message(i, failure.what());
        }
    }

    void slotTimerFired(std::size_t i) {
        Slot& slot = *m_slots[i];
        if (slot.phase == Phase::Pausing) {
            startAttempt(i);
            return;
        }
        if (slot.phase != Phase::Settling)
            return;
        std::string device;
        if (!devicePresent(m_options.ports[i], &device)) {
            slot.phase = Phase::Absent;
            m_presenter.stationState(i, "waiting for a device");
            return;
        }
        // A new board: its own adapter, and its own attempts.
        slot.identity.device = device;
        slot.identity.adapter = findUsbAdapter(device);
        slot.attempt = 0;
        startAttempt(i);
    }

    // Station mode: each port's device coming and going.
    void pollPresence() {
        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            Slot& slot = *m_slots[i];
            if (slot.phase != Phase::Absent && slot.phase != Phase::Present)
                continue;
            std::string device;
            const bool present = devicePresent(m_options.ports[i], &device);
            if (slot.phase == Phase::Absent && present) {
                slot.phase = Phase::Settling;
                m_presenter.stationState(i, "found " + device);
                slot.timer.start(kSettleTime);
            } else if (slot.phase == Phase::Present && !present) {
                slot.phase = Phase::Absent;
                m_presenter.stationState(i, "waiting for a device");
            }
        }
    }

    void boardDone(std::size_t i, const AttemptReport& report) {
        Slot& slot = *m_slots[i];
        m_boards.push_back({slot.identity, report});
        slot.phase = Phase::Present;
        if (report.result == RunResult::Interrupted)
            return;
        if (report.result == RunResult::Complete)
            ++m_flashed;
        else
            ++m_failed;
        m_presenter.stationState(
            i, std::string(describeResult(report.result)) + "; waiting for the device to go");
        m_presenter.note("station: " + std::to_string(m_flashed) + " flashed, " +
                         std::to_string(m_failed) + " failed");
    }

    void interrupt() {
        drainSignalPipe();
        if (m_interrupted)
            return;
        m_interrupted = true;
        std::string running;
        for (const auto& slot : m_slots) {
            if (slot->phase == Phase::Running)
                running += (running.empty() ? "" : ", ") + slot->run->describe();
        }
        m_presenter.note(running.empty() ? "interrupted" : "interrupted; closing " + running);
        m_presence.stop();
        for (const auto& slot : m_slots) {
            slot->timer.stop();
            slot->run->interrupt();
            slot->phase = Phase::Done;
        }
        m_loop.exit(0);
    }

    int decideExitCode(const std::vector<PortOutcome>& outcomes) const {
        if (m_options.station)
            return m_cutShort ? kExitInterrupted : m_failed > 0 ? kExitSomeFailed : kExitComplete;
        if (m_interrupted)
            return kExitInterrupted;
        if (outcomes.size() == 1)
            return exitCodeFor(outcomes.front().last.result);
        for (const PortOutcome& outcome : outcomes) {
            if (outcome.last.result != RunResult::Complete)
                return kExitSomeFailed;
        }
        return kExitComplete;
    }

    const Options& m_options;
    const RunContext& m_context;
    AuditLog* m_log;
    Presenter& m_presenter;
    Clock& m_clock;
    bool m_live;
    WatchdogTicker m_ticker;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<PortOutcome> m_boards;  // station mode: every board, in the order they ended
    QEventLoop m_loop;
    QTimer m_presence;
    QTimer m_refresh;
    bool m_interrupted = false;  // a signal ended the run
    bool m_cutShort = false;     // an attempt was interrupted
    int m_flashed = 0;
    int m_failed = 0;
    int m_unlogged = 0;  // records the audit log did not take
};

int terminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

}  // namespace

int runUpdate(const Options& options) {
    std::vector<PortIdentity> ports;
    for (const PortChoice& choice : options.ports) {
        PortIdentity port;
        port.number = choice.number;
        const PortResolution resolution = resolvePort(choice.number, choice.device);
        if (resolution.found())
            port.device = resolution.device;
        ports.push_back(port);
    }
    // Refused before anything opens, as bad usage.
    if (const std::string shared = findSharedDevice(ports); !shared.empty()) {
        printLine(shared);
        return kExitUsage;
    }

    const FirmwareCheck firmware = checkFirmwareFile(options.file);
    if (!firmware.ok()) {
        printLine("the update could not start: " + firmware.problem);
        return kExitNotStarted;
    }
    RunContext context;
    context.firmwarePath = options.file;
    context.firmwareBytes = firmware.size;
    context.baud = options.baud;
    context.host = hostName();
    context.version = kVersionText;
    std::unique_ptr<AuditLog> log;
    try {
        // The hash of what attempts that send nothing would have sent.
        if (options.json || options.logPath)
            context.firmwareSha256 = sha256Hex(Lire(options.file));
        if (options.logPath)
            log = std::make_unique<AuditLog>(*options.logPath);
    } catch (const std::exception& failure) {
        printLine(std::string("the update could not start: ") + failure.what());
        return kExitNotStarted;
    }
    if (!options.station) {
        for (PortIdentity& port : ports) {
            if (!port.device.empty())
                port.adapter = findUsbAdapter(port.device);
        }
    }

    SteadyClock clock;
    const bool single = ports.size() == 1 && !options.station;
    // Lines rewritten in place only on a terminal, and not where a trace or
    // JSON on the same terminal would run through them.
    const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    const bool live =
        stderrIsTerminal && !options.trace && !(options.json && ::isatty(STDOUT_FILENO) == 1);
    // With --json, standard output carries JSON alone.
    std::ostream& humanOut = options.json ? std::cerr : std::cout;
    std::unique_ptr<Presenter> presenter;
    if (single) {
        presenter = std::make_unique<SinglePresenter>(options, firmware.size, clock);
    } else {
        presenter =
            std::make_unique<GangPresenter>(options, firmware.size, clock, live, terminalColumns(),
                                            live ? std::cerr : humanOut, humanOut);
    }
    Gang gang(options, context, log.get(), *presenter, clock, ports, live && !single);
    return gang.exec();
}

}  // namespace oxu::cli
