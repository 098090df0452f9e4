#include "station/tests/scripted_station.h"

#include <unistd.h>

#include <QAccessible>
#include <QCloseEvent>
#include <QSocketNotifier>
#include <functional>
#include <iostream>

namespace oxu::testkit {
namespace {

void say(const QString& line) {
    std::cout << line.toStdString() << std::endl;
}

// Every accessible object below root, depth first, in order.
void visit(QAccessibleInterface* root, const std::function<void(QAccessibleInterface*)>& each) {
    for (int i = 0; root != nullptr && i < root->childCount(); ++i) {
        QAccessibleInterface* child = root->child(i);
        if (child == nullptr)
            continue;
        each(child);
        visit(child, each);
    }
}

}  // namespace

ScriptedStation::ScriptedStation(station::StationOptions options,
                                 const std::vector<runs::PlannedPort>& ports,
                                 station::StationParts parts, int input)
    : StationWindow(std::move(options), ports, parts), m_input(input) {
    connect(this, &StationWindow::tileChanged, this, [](int number, const QString& state) {
        say(QString("tile COM %1: %2").arg(number).arg(state));
    });
    connect(this, &StationWindow::runFinished, this,
            [](int exitCode) { say("finished " + QString::number(exitCode)); });
    connect(this, &StationWindow::messageShown, this,
            [](const QString& text) { say("message " + text); });
    m_notifier = new QSocketNotifier(m_input, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ScriptedStation::readInput);
}

void ScriptedStation::readInput() {
    char buffer[4096];
    const ssize_t got = ::read(m_input, buffer, sizeof buffer);
    if (got <= 0) {
        m_notifier->setEnabled(false);
        runCommand("close");
        return;
    }
    m_pending.append(buffer, got);
    for (qsizetype end; (end = m_pending.indexOf('\n')) >= 0;) {
        const std::string line = m_pending.left(end).toStdString();
        m_pending.remove(0, end + 1);
        runCommand(line);
    }
}

void ScriptedStation::runCommand(const std::string& line) {
    const std::string command = line.substr(0, line.find(' '));
    const std::string argument =
        line.size() > command.size() ? line.substr(command.size() + 1) : "";
    bool known = true;
    if (command == "start")
        known = press("Start");
    else if (command == "station")
        known = press("Station mode");
    else if (command == "stop")
        known = press("Stop");
    else if (command == "image") {
        m_nextImage = QString::fromStdString(argument);
        known = press("Choose image…");
    } else if (command == "close")
        close();
    else if (command == "state")
        printState();
    else
        known = false;
    if (!known)
        std::cerr << "oxu-station-scripted: cannot do \"" << line << "\"" << std::endl;
}

bool ScriptedStation::press(const QString& name) {
    bool pressed = false;
    visit(QAccessible::queryAccessibleInterface(this), [&](QAccessibleInterface* object) {
        QAccessibleActionInterface* actions = object->actionInterface();
        if (pressed || actions == nullptr || object->text(QAccessible::Name) != name)
            return;
        actions->doAction(QAccessibleActionInterface::pressAction());
        pressed = true;
    });
    return pressed;
}

void ScriptedStation::printState() {
    visit(QAccessible::queryAccessibleInterface(this), [](QAccessibleInterface* object) {
        const QString name = object->text(QAccessible::Name);
        if (name.startsWith("COM "))
            say("tile " + name + ": " + object->text(QAccessible::Description));
    });
    say("tally " + QString::fromStdString(runs::describeTally(board().tally())));
}

void ScriptedStation::closeEvent(QCloseEvent* event) {
    StationWindow::closeEvent(event);
    if (event->isAccepted())
        say("closed");
}

bool ScriptedStation::askYesNo(const QString& question) {
    say("question " + question);
    return true;
}

QString ScriptedStation::pickImageFile() {
    return m_nextImage;
}

}  // namespace oxu::testkit
