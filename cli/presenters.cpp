#include "cli/presenters.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <variant>

#include "cli/gang_display.h"
#include "cli/progress.h"
#include "cli/terminal_window.h"
#include "protocol/update_transfer.h"
#include "protocol/watchdog.h"

namespace oxu::cli {
namespace {

using namespace runs;

// "COM 3 (/dev/ttyUSB0)", or "COM 3 (no device)".
std::string describePortIdentity(const PortIdentity& port) {
    return "COM " + std::to_string(port.number) + " (" +
           (port.device.empty() ? std::string("no device") : port.device) + ")";
}

// What people are told of an engine event, as the window would have said
// it; empty for the events that only move the progress on.
std::string engineMessage(const UpdateEvent& event) {
    if (std::holds_alternative<PageZeroRequested>(event))
        return kStartFromPageOneText;
    if (std::holds_alternative<UpdateCompleted>(event))
        return kTransferCompleteText;
    if (std::holds_alternative<ConnectionFailed>(event))
        return kConnectionFailedText;
    if (std::holds_alternative<TransferInterrupted>(event))
        return kTransferInterruptedText;
    if (const auto* lost = std::get_if<PortLost>(&event))
        return lost->description;
    if (const auto* failed = std::get_if<WriteFailed>(&event))
        return failed->description;
    return {};
}

// What an ended attempt adds for people; empty when nothing.
std::string endMessage(const AttemptReport& report) {
    if (report.result == RunResult::NotStarted)
        return "the update could not start: " + report.problem;
    if (report.result == RunResult::ConnectionFailed ||
        report.result == RunResult::TransferInterrupted)
        return "giving up: " + report.problem;
    if (report.result == RunResult::Complete && !report.allPagesServed)
        return "warning: the device reported completion, but only " +
               std::to_string(report.pagesServed) + " of " + std::to_string(report.pagesAnnounced) +
               " pages were asked for and served";
    return {};
}

std::string describeAgain(const AttemptEnded& ended) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(ended.pause.count()) / 1000.0);
    return "starting again in " + std::string(seconds) + " s (attempt " +
           std::to_string(ended.report.attempt + 1) + " of " + std::to_string(ended.attempts) + ")";
}

// The words both presenters share: every event's message, about the run or
// about one port. How a line reaches people, and what moves on screen, is
// each presenter's own.
class WordedPresenter : public Presenter {
public:
    explicit WordedPresenter(const ImageSnapshot& image) : m_image(image) {}

    void onRunEvent(const RunEvent& event) override {
        if (const auto* started = std::get_if<RunStarted>(&event)) {
            m_ports = started->ports;
            m_attempts.assign(m_ports.size(), {1, started->attempts});
            note("image \"" + m_image.path() + "\" (" + groupThousands(m_image.size()) +
                 " bytes, " + std::to_string(m_image.pages()) + " pages, SHA-256 " +
                 m_image.sha256() + ")");
        } else if (const auto* starting = std::get_if<AttemptStarting>(&event)) {
            m_ports[starting->slot] = starting->port;
            m_attempts[starting->slot] = {starting->attempt, starting->attempts};
        } else if (const auto* sent = std::get_if<DownloadCommandSent>(&event)) {
            say(sent->slot, "download command sent; updating in " +
                                std::to_string(sent->settle.count()) + " ms");
        } else if (const auto* happened = std::get_if<AttemptEvent>(&event)) {
            show(*happened);
            if (const std::string line = engineMessage(happened->event); !line.empty())
                say(happened->slot, line);
        } else if (const auto* ended = std::get_if<AttemptEnded>(&event)) {
            if (const std::string line = endMessage(ended->report); !line.empty())
                say(ended->slot, line);
        } else if (const auto* failed = std::get_if<CloseFailed>(&event)) {
            say(failed->slot, "warning: " + failed->description);
        } else if (const auto* tally = std::get_if<BoardTally>(&event)) {
            note("station: " + std::to_string(tally->complete) + " flashed, " +
                 std::to_string(tally->failed) + " failed");
        } else if (std::holds_alternative<ImageChanged>(event)) {
            note("warning: \"" + m_image.path() +
                 "\" changed on disk during the run; every attempt sends it as it was read at "
                 "the start (SHA-256 " +
                 m_image.sha256() + ")");
        } else if (const auto* refused = std::get_if<RecordNotWritten>(&event)) {
            note(refused->reason);
        } else if (const auto* interrupting = std::get_if<Interrupting>(&event)) {
            std::string running;
            for (std::size_t slot : interrupting->running)
                running += (running.empty() ? "" : ", ") + describePortIdentity(m_ports[slot]);
            note(running.empty() ? "interrupted" : "interrupted; closing " + running);
        }
        show(event);
        if (const auto* finished = std::get_if<RunFinished>(&event);
            finished && finished->recordsNotWritten > 0)
            note(std::to_string(finished->recordsNotWritten) +
                 " record(s) could not be written (see above)");
    }

protected:
    struct Attempts {
        int attempt;
        int of;
    };
    // A line about the whole run, and one about the port at slot.
    virtual void note(const std::string& text) = 0;
    virtual void say(std::size_t slot, const std::string& text) = 0;
    // What moves on screen, before the messages of the engine event...
    virtual void show(const AttemptEvent& happened) = 0;
    // ... and after those of any event.
    virtual void show(const RunEvent& event) = 0;

    // "sending to ...", with the attempt after the first.
    std::string sendingTo(std::size_t slot, const std::string& where) const {
        const Attempts& attempts = m_attempts[slot];
        return "sending to " + where +
               (attempts.attempt > 1 ? " (attempt " + std::to_string(attempts.attempt) + " of " +
                                           std::to_string(attempts.of) + ")"
                                     : "");
    }

    const ImageSnapshot& m_image;
    std::vector<PortIdentity> m_ports;
    std::vector<Attempts> m_attempts;
};

// One port, shown as oxu-update has always shown it: one progress line that
// rewrites itself, or a line a page; messages on standard error.
class SinglePresenter final : public WordedPresenter {
public:
    SinglePresenter(const Options& options, const ImageSnapshot& image, const Clock& clock)
        : WordedPresenter(image), m_baud(options.baud), m_clock(clock) {
        // A rewriting line only where someone watches it; logs get a line a
        // page. With --json, standard output carries JSON alone.
        const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
        const bool stdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
        m_out = stderrIsTerminal || options.json ? &std::cerr : &std::cout;
        m_terminal = stderrIsTerminal || (stdoutIsTerminal && !options.json);
    }

private:
    void note(const std::string& text) override {
        if (m_progress)
            m_progress->interrupt();
        printLine(text);
    }
    void say(std::size_t, const std::string& text) override { note(text); }
    void show(const AttemptEvent& happened) override {
        m_bytesSent = happened.progress.bytesSent;
        // The rate counts from the update, not from a download command before it.
        if (std::holds_alternative<UpdateStarted>(happened.event)) {
            m_progress = std::make_unique<ProgressDisplay>(
                *m_out, m_terminal, m_clock, [this] { return m_bytesSent; }, m_image.size());
            note(sendingTo(0, describePortIdentity(m_ports[0])) + " at " + std::to_string(m_baud) +
                 " baud");
        } else if (const auto* served = std::get_if<PageServed>(&happened.event))
            m_progress->showPage(served->page);
        else if (std::holds_alternative<PageZeroRequested>(happened.event))
            m_progress->showPage(0);
    }
    void show(const RunEvent& event) override {
        if (std::holds_alternative<AttemptStarting>(event)) {
            m_bytesSent = 0;
        } else if (const auto* ended = std::get_if<AttemptEnded>(&event); ended && ended->again) {
            note(describeAgain(*ended));
        }
    }

    int m_baud;
    const Clock& m_clock;
    std::ostream* m_out = nullptr;
    bool m_terminal = false;
    std::uint64_t m_bytesSent = 0;
    std::unique_ptr<ProgressDisplay> m_progress;
};

// Several ports (or station mode): a line per port, a message naming its
// port, and the summary table at the end.
class GangPresenter final : public WordedPresenter {
public:
    GangPresenter(const Options& options, const ImageSnapshot& image, const Clock& clock, bool live,
                  int columns, std::ostream& progress, std::ostream& tableOut)
        : WordedPresenter(image),
          m_display(progress, std::cerr, live, columns, clock, portNumbers(options)),
          m_out(tableOut) {
        // Every line shows the pages to come from the first drawing on.
        for (std::size_t slot = 0; slot < options.ports.size(); ++slot)
            m_display.startAttempt(slot, image.pages());
    }

    void refresh() override { m_display.refresh(); }

private:
    static std::vector<int> portNumbers(const Options& options) {
        std::vector<int> numbers;
        for (const PortChoice& choice : options.ports)
            numbers.push_back(choice.number);
        return numbers;
    }

    void note(const std::string& text) override {
        m_display.showMessage(std::string(kProgramName) + ": " + text);
    }
    void say(std::size_t slot, const std::string& text) override {
        note("COM " + std::to_string(m_ports[slot].number) + ": " + text);
    }
    void show(const AttemptEvent& happened) override {
        const std::size_t slot = happened.slot;
        if (std::holds_alternative<UpdateStarted>(happened.event)) {
            m_display.startAttempt(slot, m_image.pages());  // after a download command too
            m_display.showState(slot, sendingTo(slot, m_ports[slot].device));
        } else if (const auto* served = std::get_if<PageServed>(&happened.event))
            m_display.showPage(slot, served->page, happened.progress.bytesSent);
        else if (std::holds_alternative<PageZeroRequested>(happened.event))
            m_display.showPage(slot, 0, happened.progress.bytesSent);
        else if (std::holds_alternative<ConnectionFailed>(happened.event))
            m_display.showState(slot, "no answer");
        else if (std::holds_alternative<TransferInterrupted>(happened.event))
            m_display.showState(slot, "silent");
    }
    void show(const RunEvent& event) override {
        if (const auto* starting = std::get_if<AttemptStarting>(&event)) {
            m_display.startAttempt(starting->slot, m_image.pages());
        } else if (const auto* ended = std::get_if<AttemptEnded>(&event)) {
            m_display.endAttempt(ended->slot,
                                 describeResult(ended->report.result) +
                                     (ended->again ? "; " + describeAgain(*ended) : ""));
        } else if (const auto* changed = std::get_if<StationChanged>(&event)) {
            if (changed->phase == StationPhase::WaitingForBoard)
                m_display.showState(changed->slot, "waiting for a device");
            else if (changed->phase == StationPhase::BoardFound)
                m_display.showState(changed->slot, "found " + changed->device);
            else if (changed->phase == StationPhase::WaitingForRemoval)
                m_display.showState(changed->slot,
                                    describeResult(changed->result.value_or(RunResult::Complete)) +
                                        std::string("; waiting for the device to go"));
        } else if (const auto* finished = std::get_if<RunFinished>(&event)) {
            m_display.finish();
            m_out << formatSummaryTable(finished->summary.outcomes) << std::flush;
        }
    }

    GangDisplay m_display;
    std::ostream& m_out;
};

}  // namespace

std::unique_ptr<Presenter> makeSinglePresenter(const Options& options,
                                               const runs::ImageSnapshot& image,
                                               const Clock& clock) {
    return std::make_unique<SinglePresenter>(options, image, clock);
}

std::unique_ptr<Presenter> makeGangPresenter(const Options& options,
                                             const runs::ImageSnapshot& image, const Clock& clock,
                                             bool live, int columns, std::ostream& progress,
                                             std::ostream& tableOut) {
    return std::make_unique<GangPresenter>(options, image, clock, live, columns, progress,
                                           tableOut);
}

std::optional<std::string> JsonLines::write(runs::RecordKind kind, const QJsonObject& record) {
    if (kind != runs::RecordKind::AttemptStart)
        m_out << runs::toJsonLine(record) << std::flush;
    return std::nullopt;
}

}  // namespace oxu::cli
