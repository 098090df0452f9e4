#include "cli/presenters.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <variant>

#include <map>

#include "cli/gang_display.h"
#include "cli/progress.h"
#include "protocol/update_transfer.h"
#include "protocol/watchdog.h"

namespace oxu::cli {
namespace {

using namespace runs;

void printLine(const std::string& text) {
    std::cerr << kProgramName << ": " << text << std::endl;
}

std::string describeImage(const ImageSnapshot& image) {
    return "\"" + image.path() + "\" (" + groupThousands(image.size()) + " bytes, " +
           std::to_string(image.pages()) + " pages, SHA-256 " + image.sha256() + ")";
}

std::string describeAgain(const AttemptEnded& ended) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(ended.pause.count()) / 1000.0);
    return "starting again in " + std::string(seconds) + " s (attempt " +
           std::to_string(ended.report.attempt + 1) + " of " + std::to_string(ended.attempts) + ")";
}

// What people are told of an engine event, as the window would have said
// it; nothing for the events that only move the progress on.
std::optional<std::string> engineMessage(const UpdateEvent& event) {
    return std::visit(
        Overloaded{
            [](const PageZeroRequested&) -> std::optional<std::string> {
                return kStartFromPageOneText;
            },
            [](const UpdateCompleted&) -> std::optional<std::string> {
                return kTransferCompleteText;
            },
            [](const ConnectionFailed&) -> std::optional<std::string> {
                return kConnectionFailedText;
            },
            [](const TransferInterrupted&) -> std::optional<std::string> {
                return kTransferInterruptedText;
            },
            [](const PortLost& lost) -> std::optional<std::string> { return lost.description; },
            [](const WriteFailed& failed) -> std::optional<std::string> {
                return failed.description;
            },
            [](const auto&) -> std::optional<std::string> { return std::nullopt; },
        },
        event);
}

// The lines an ended attempt adds, whoever shows them.
std::vector<std::string> endMessages(const AttemptEnded& ended) {
    const AttemptReport& report = ended.report;
    std::vector<std::string> lines;
    switch (report.result) {
        case RunResult::NotStarted:
            lines.push_back("the update could not start: " + report.problem);
            break;
        case RunResult::ConnectionFailed:
        case RunResult::TransferInterrupted:
            lines.push_back("giving up: " + report.problem);
            break;
        case RunResult::Complete:
            if (!report.allPagesServed)
                lines.push_back("warning: the device reported completion, but only " +
                                std::to_string(report.pagesServed) + " of " +
                                std::to_string(report.pagesAnnounced) +
                                " pages were asked for and served");
            break;
        default:
            break;
    }
    return lines;
}

// Lines about the whole run, the same for one port and many.
std::optional<std::string> runMessage(const RunEvent& event, const ImageSnapshot& image) {
    return std::visit(
        Overloaded{
            [&](const ImageChanged&) -> std::optional<std::string> {
                return "warning: \"" + image.path() +
                       "\" changed on disk during the run; every attempt sends it as it was "
                       "read at the start (SHA-256 " +
                       image.sha256() + ")";
            },
            [](const RecordNotWritten& failed) -> std::optional<std::string> {
                return failed.reason;
            },
            [](const RunFinished& finished) -> std::optional<std::string> {
                if (finished.recordsNotWritten == 0)
                    return std::nullopt;
                return std::to_string(finished.recordsNotWritten) +
                       " record(s) could not be written (see above)";
            },
            [](const auto&) -> std::optional<std::string> { return std::nullopt; },
        },
        event);
}

class SinglePresenter final : public Presenter {
public:
    SinglePresenter(const Options& options, const ImageSnapshot& image, const Clock& clock)
        : m_options(options), m_image(image), m_clock(clock) {
        // A rewriting line only where someone watches it; logs get a line a
        // page. With --json, standard output carries JSON alone.
        const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
        const bool stdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
        m_out = stderrIsTerminal || options.json ? &std::cerr : &std::cout;
        m_terminal = stderrIsTerminal || (stdoutIsTerminal && !options.json);
    }

    void onRunEvent(const RunEvent& event) override {
        std::visit(Overloaded{
                       [&](const RunStarted&) { note("image " + describeImage(m_image)); },
                       [&](const AttemptStarting& starting) {
                           m_port = starting.port;
                           m_attempt = starting.attempt;
                           m_attempts = starting.attempts;
                           m_bytesSent = 0;
                           m_progress = std::make_unique<ProgressDisplay>(
                               *m_out, m_terminal, m_clock, [this] { return m_bytesSent; },
                               m_image.size());
                       },
                       [&](const AttemptEvent& happened) { engineEvent(happened); },
                       [&](const AttemptEnded& ended) {
                           for (const std::string& line : endMessages(ended))
                               note(line);
                           if (ended.again)
                               note(describeAgain(ended));
                       },
                       [&](const CloseFailed& failed) { note(failed.description); },
                       [&](const Interrupting& interrupting) {
                           note(interrupting.running.empty()
                                    ? "interrupted"
                                    : "interrupted; closing " + describePortIdentity(m_port));
                       },
                       [&](const auto&) {
                           if (const auto line = runMessage(event, m_image))
                               note(*line);
                       },
                   },
                   event);
    }

private:
    void engineEvent(const AttemptEvent& happened) {
        m_bytesSent = happened.progress.bytesSent;
        if (std::holds_alternative<UpdateStarted>(happened.event)) {
            std::string line = "sending to " + describePortIdentity(m_port) + " at " +
                               std::to_string(m_options.baud) + " baud";
            if (m_attempt > 1)
                line += " (attempt " + std::to_string(m_attempt) + " of " +
                        std::to_string(m_attempts) + ")";
            note(line);
        } else if (const auto* served = std::get_if<PageServed>(&happened.event)) {
            m_progress->showPage(served->page);
        } else if (std::holds_alternative<PageZeroRequested>(happened.event)) {
            m_progress->showPage(0);
        }
        if (const auto line = engineMessage(happened.event))
            note(*line);
    }
    void note(const std::string& text) {
        if (m_progress)
            m_progress->interrupt();
        printLine(text);
    }

    const Options& m_options;
    const ImageSnapshot& m_image;
    const Clock& m_clock;
    std::ostream* m_out = nullptr;
    bool m_terminal = false;
    PortIdentity m_port;
    int m_attempt = 1;
    int m_attempts = 1;
    std::uint64_t m_bytesSent = 0;
    std::unique_ptr<ProgressDisplay> m_progress;
};

class GangPresenter final : public Presenter {
public:
    GangPresenter(const Options& options, const ImageSnapshot& image, const Clock& clock, bool live,
                  int columns, std::ostream& progress, std::ostream& tableOut)
        : m_image(image),
          m_display(progress, std::cerr, live, columns, clock, portNumbers(options)),
          m_out(tableOut),
          m_numbers(portNumbers(options)) {
        // Every line shows the pages to come from the first drawing on.
        for (std::size_t slot = 0; slot < m_numbers.size(); ++slot)
            m_display.startAttempt(slot, image.pages());
    }

    void onRunEvent(const RunEvent& event) override {
        if (const auto* started = std::get_if<RunStarted>(&event))
            m_ports = started->ports;
        if (const auto* starting = std::get_if<AttemptStarting>(&event)) {
            m_ports[starting->slot] = starting->port;
            m_attempts[starting->slot] = {starting->attempt, starting->attempts};
        }
        std::visit(
            Overloaded{
                [&](const RunStarted&) { note("image " + describeImage(m_image)); },
                [&](const AttemptStarting& starting) {
                    m_display.startAttempt(starting.slot, m_image.pages());
                },
                [&](const AttemptEvent& happened) { engineEvent(happened); },
                [&](const AttemptEnded& ended) {
                    for (const std::string& line : endMessages(ended))
                        message(ended.slot, line);
                    std::string state = describeResult(ended.report.result);
                    if (ended.again)
                        state += "; " + describeAgain(ended);
                    m_display.endAttempt(ended.slot, state);
                },
                [&](const CloseFailed& failed) { message(failed.slot, failed.description); },
                [&](const StationChanged& changed) { stationChanged(changed); },
                [&](const BoardTally& tally) {
                    note("station: " + std::to_string(tally.complete) + " flashed, " +
                         std::to_string(tally.failed) + " failed");
                },
                [&](const Interrupting& interrupting) {
                    std::string running;
                    for (std::size_t slot : interrupting.running)
                        running +=
                            (running.empty() ? "" : ", ") + describePortIdentity(m_ports[slot]);
                    note(running.empty() ? "interrupted" : "interrupted; closing " + running);
                },
                [&](const RunFinished& finished) {
                    m_display.finish();
                    m_out << formatSummaryTable(finished.summary.outcomes) << std::flush;
                    if (const auto line = runMessage(event, m_image))
                        note(*line);
                },
                [&](const auto&) {
                    if (const auto line = runMessage(event, m_image))
                        note(*line);
                },
            },
            event);
    }
    void refresh() override { m_display.refresh(); }

private:
    static std::vector<int> portNumbers(const Options& options) {
        std::vector<int> numbers;
        for (const PortChoice& choice : options.ports)
            numbers.push_back(choice.number);
        return numbers;
    }

    void engineEvent(const AttemptEvent& happened) {
        const std::size_t slot = happened.slot;
        std::visit(Overloaded{
                       [&](const UpdateStarted&) {
                           std::string state = "sending to " + m_ports[slot].device;
                           if (m_attempts[slot].first > 1)
                               state += " (attempt " + std::to_string(m_attempts[slot].first) +
                                        " of " + std::to_string(m_attempts[slot].second) + ")";
                           m_display.showState(slot, state);
                       },
                       [&](const PageServed& served) {
                           m_display.showPage(slot, served.page, happened.progress.bytesSent);
                       },
                       [&](const PageZeroRequested&) {
                           m_display.showPage(slot, 0, happened.progress.bytesSent);
                       },
                       [&](const ConnectionFailed&) { m_display.showState(slot, "no answer"); },
                       [&](const TransferInterrupted&) { m_display.showState(slot, "silent"); },
                       [](const auto&) {},
                   },
                   happened.event);
        if (const auto line = engineMessage(happened.event))
            message(slot, *line);
    }
    void stationChanged(const StationChanged& changed) {
        switch (changed.phase) {
            case StationPhase::WaitingForBoard:
                m_display.showState(changed.slot, "waiting for a device");
                break;
            case StationPhase::BoardFound:
                m_display.showState(changed.slot, "found " + changed.device);
                break;
            case StationPhase::Flashing:
                break;
            case StationPhase::WaitingForRemoval:
                m_display.showState(
                    changed.slot,
                    std::string(describeResult(changed.result.value_or(RunResult::Complete))) +
                        "; waiting for the device to go");
                break;
        }
    }
    void message(std::size_t slot, const std::string& text) {
        m_display.showMessage(std::string(kProgramName) + ": COM " +
                              std::to_string(m_numbers[slot]) + ": " + text);
    }
    void note(const std::string& text) {
        m_display.showMessage(std::string(kProgramName) + ": " + text);
    }

    const ImageSnapshot& m_image;
    GangDisplay m_display;
    std::ostream& m_out;
    std::vector<int> m_numbers;
    std::vector<PortIdentity> m_ports;
    std::map<std::size_t, std::pair<int, int>> m_attempts;  // slot: attempt, of at most
};

}  // namespace

std::string describePortIdentity(const runs::PortIdentity& port) {
    return "COM " + std::to_string(port.number) + " (" +
           (port.device.empty() ? std::string("no device") : port.device) + ")";
}

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
