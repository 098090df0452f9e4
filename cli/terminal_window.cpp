#include "cli/terminal_window.h"

#include <cstdlib>

#include "cli/options.h"

namespace oxu::cli {

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
    if (m_onEnd) {
        m_onEnd();
        return;
    }
    std::exit(kExitInterrupted);
}

Answer TerminalWindow::showMessageBox(const std::string& text, Buttons buttons, Icon /*icon*/,
                                      const std::optional<std::string>& /*title*/) {
    if (buttons == Buttons::YesNo) {
        m_lastAnswer = m_asker ? m_asker(text) : Answer::No;
        return *m_lastAnswer;
    }
    if (m_progress != nullptr)
        m_progress->interrupt();
    m_out << kProgramName << ": " << text << std::endl;
    return Answer::Ok;
}

std::string TerminalWindow::showFileDialog(const std::string& /*filter*/) {
    return m_chosenFile;
}

}  // namespace oxu::cli
