#pragma once

// The window services for a terminal: the port and baud come from the
// command line and every message box becomes one line on standard error. The
// status line has no place here: progress is drawn from the update's events.

#include <functional>
#include <iostream>
#include <optional>
#include <ostream>
#include <string>

#include "protocol/window_services.h"

namespace oxu::cli {

// One line for people, behind the program's name: "oxu-update: text".
void printLine(const std::string& text, std::ostream& out = std::cerr);

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
    // Exits the process with code 130.
    void endProgram() override;

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                          const std::optional<std::string>& title) override;
    // No file is chosen on a terminal: the commands that use these services
    // name none.
    std::string showFileDialog(const std::string& filter) override;

private:
    std::string m_portText;
    BaudOption m_baud;
    std::ostream& m_out;
    Asker m_asker;
};

}  // namespace oxu::cli
