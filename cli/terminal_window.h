#pragma once

// The window services for a terminal: the port and baud come from the
// command line and every message box becomes one line on standard error. The
// status line has no place here: progress is drawn from the update's events.

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "cli/progress.h"
#include "protocol/window_services.h"

namespace oxu::cli {

// The baud option the window would have selected for a rate; None for a
// rate it does not offer.
BaudOption baudOptionFor(int baud);

class TerminalWindow final : public WindowServices {
public:
    // Answers a Yes/No question; the terminal front end prompts, --yes agrees.
    using Asker = std::function<Answer(const std::string& question)>;

    // messages must outlive this object. Without an asker every question is
    // answered No: nothing is sent that nobody agreed to.
    TerminalWindow(int port, int baud, std::ostream& messages, Asker asker = {});

    std::string portText() const override { return m_portText; }
    BaudOption selectedBaud() const override { return m_baud; }
    // Dropped: the progress display follows the update's events instead.
    void setStatus(const std::string&) override {}
    // Runs the end hook; without one, exits the process with code 130.
    void endProgram() override;

    // The progress display whose line a message must end first (not owned;
    // may be null).
    void attachProgress(ProgressDisplay* progress) { m_progress = progress; }
    void setEndHook(std::function<void()> hook) { m_onEnd = std::move(hook); }
    // What the file dialog returns: the file named on the command line.
    void setChosenFile(std::string path) { m_chosenFile = std::move(path); }

    // The answer to the last question, if one was asked.
    std::optional<Answer> lastAnswer() const { return m_lastAnswer; }

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                          const std::optional<std::string>& title) override;
    std::string showFileDialog(const std::string& filter) override;

private:
    std::string m_portText;
    BaudOption m_baud;
    std::ostream& m_out;
    Asker m_asker;
    ProgressDisplay* m_progress = nullptr;
    std::function<void()> m_onEnd;
    std::string m_chosenFile;
    std::optional<Answer> m_lastAnswer;
};

}  // namespace oxu::cli
