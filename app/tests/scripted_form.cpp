#include "app/tests/scripted_form.h"

#include <unistd.h>

#include <QPushButton>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

namespace oxu::testkit {
namespace {

const char* iconName(Icon icon) {
    switch (icon) {
        case Icon::Information:
            return "information";
        case Icon::Warning:
            return "warning";
        case Icon::Question:
            return "question";
        case Icon::None:
            break;
    }
    return "none";
}

}  // namespace

std::string describeEvent(const UpdateEvent& event) {
    return std::visit(
        Overloaded{
            [](const UpdateStarted& e) {
                return "started " + std::to_string(e.pages) + " " + std::to_string(e.imageBytes);
            },
            [](const StartFailed& e) { return "start-failed " + e.reason; },
            [](const PageServed& e) {
                return "page " + std::to_string(e.page) + " " + std::to_string(e.bytes);
            },
            [](const PageZeroRequested&) { return std::string("page-zero"); },
            [](const UpdateCompleted&) { return std::string("completed"); },
            [](const ConnectionFailed&) { return std::string("connection-failed"); },
            [](const TransferInterrupted&) { return std::string("transfer-interrupted"); },
            [](const PortLost& e) { return "port-lost " + e.description; },
            [](const WriteFailed& e) { return "write-failed " + e.description; },
        },
        event);
}

ScriptedForm1::ScriptedForm1(int input) : m_input(input) {
    m_notifier = new QSocketNotifier(m_input, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { readInput(); });
}

void ScriptedForm1::readInput() {
    char chunk[512];
    const ssize_t count = ::read(m_input, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        // The script ended: keep running as the window would.
        m_notifier->setEnabled(false);
        return;
    }
    m_pending.append(chunk, count);
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const std::string line = m_pending.left(end).toStdString();
        m_pending.remove(0, end + 1);
        runCommand(line);
    }
}

void ScriptedForm1::runCommand(const std::string& line) {
    const std::size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "file") {
        m_nextFile = argument;
    } else if (verb == "answer") {
        m_answer = argument == "yes" ? Answer::Yes : Answer::No;
    } else if (verb == "click") {
        auto* button = findChild<QPushButton*>(QString::fromStdString(argument));
        if (button)
            button->click();
        else
            std::fprintf(stderr, "no button named %s\n", argument.c_str());
    } else if (verb == "status") {
        setStatus(argument);
    } else if (verb == "events") {
        watchedUpdate().setObserver(this);
    } else if (!verb.empty()) {
        std::fprintf(stderr, "unknown command: %s\n", line.c_str());
    }
}

Answer ScriptedForm1::showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                                     const std::optional<std::string>& title) {
    std::printf("box %s %s|%s\n", iconName(icon), title ? title->c_str() : kApplicationTitle,
                text.c_str());
    std::fflush(stdout);
    return buttons == Buttons::YesNo ? m_answer : Answer::Ok;
}

std::string ScriptedForm1::showFileDialog(const std::string&) {
    return std::exchange(m_nextFile, std::string());
}

void ScriptedForm1::onUpdateEvent(const UpdateEvent& event) {
    std::printf("event %s\n", describeEvent(event).c_str());
    std::fflush(stdout);
}

}  // namespace oxu::testkit
