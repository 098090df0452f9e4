#include "cli/terminal_window.h"

#include <cstdlib>

#include "cli/options.h"

namespace oxu::cli {

void printLine(const std::string& text, std::ostream& out) {
    out << kProgramName << ": " << text << std::endl;
}

BaudOption baudOptionFor(int baud) {
    const LineChoice* line = findLineChoiceByBaud(baud);
    return line ? line->option : BaudOption::None;
}

TerminalWindow::TerminalWindow(int port, int baud, std::ostream& messages, Asker asker)
    : m_portText(std::to_string(port)),
      m_baud(baudOptionFor(baud)),
      m_out(messages),
      m_asker(std::move(asker)) {}

void TerminalWindow::endProgram() {
    std::exit(kExitInterrupted);
}

Answer TerminalWindow::showMessageBox(const std::string& text, Buttons buttons, Icon /*icon*/,
                                      const std::optional<std::string>& /*title*/) {
    if (buttons == Buttons::YesNo)
        return m_asker ? m_asker(text) : Answer::No;
    printLine(text, m_out);
    return Answer::Ok;
}

std::string TerminalWindow::showFileDialog(const std::string& /*filter*/) {
    return {};
}

}  // namespace oxu::cli
