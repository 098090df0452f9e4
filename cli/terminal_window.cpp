#include "cli/terminal_window.h"

#include <cstdlib>

#include "cli/options.h"

namespace oxu::cli {

BaudOption baudOptionFor(int baud) {
    switch (baud) {
        case 9600:
            return BaudOption::Option2_9600;
        case 19200:
            return BaudOption::Option3_19200;
        case 38400:
            return BaudOption::Option4_38400;
        default:
            return BaudOption::None;
    }
}

TerminalWindow::TerminalWindow(int port, int baud, std::ostream& messages, Asker asker)
    : m_portText(std::to_string(port)),
      m_baud(baudOptionFor(baud)),
      m_out(messages),
      m_asker(std::move(asker)) {}

void TerminalWindow::setStatus(const std::string& text) {
    if (m_progress != nullptr)
        m_progress->showStatus(text);
}

void TerminalWindow::endProgram() {
    if (m_onEnd) {
        m_onEnd();
        return;
    }
    std::exit(kExitInterrupted);
}

Answer TerminalWindow::showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                                      const std::optional<std::string>& /*title*/) {
    if (buttons == Buttons::YesNo) {
        m_lastAnswer = m_asker ? m_asker(text) : Answer::No;
        return *m_lastAnswer;
    }
    if (m_progress != nullptr)
        m_progress->interrupt();
    m_out << kProgramName << ": " << text << std::endl;
    m_messages.push_back(text);
    if (m_onMessage)
        m_onMessage(text, icon);
    return Answer::Ok;
}

std::string TerminalWindow::showFileDialog(const std::string& /*filter*/) {
    return m_chosenFile;
}

}  // namespace oxu::cli
