#pragma once

// The window driven by a script on standard input instead of an operator, so
// that tests and the benchmark can run the real window as a child process
// (with the offscreen platform) and watch it from outside. It is a program of
// its own, oxu-updater-scripted, built with the tests and never installed:
// the operator's oxu-updater has no such mode.
//
// One command per line:
//   file <path>         the next file dialog returns <path> without showing
//   answer yes|no       how the following Yes/No boxes are answered (default no)
//   click <objectName>  clicks that push button (Command1, Command2, Command3)
//   status <text>       shows <text> in the status line
//   events              from now on prints every update event (see below)
// Each message box is answered at once and printed to standard output as
//   box <icon> <title>|<text>
// where icon is none, information, warning or question. After "events", each
// event of the update is printed before its box as
//   event <kind>[ <detail>]
// with kind one of started, start-failed, page, page-zero, completed,
// connection-failed, transfer-interrupted, port-lost, write-failed.

#include <QByteArray>
#include <string>

#include "app/form1.h"
#include "protocol/update_events.h"

class QSocketNotifier;

namespace oxu::testkit {

// "page 7 258", "completed": the words an event line carries after "event ".
std::string describeEvent(const UpdateEvent& event);

class ScriptedForm1 : public Form1, private UpdateObserver {
    Q_OBJECT

public:
    // Reads commands from file descriptor input (standard input by default).
    explicit ScriptedForm1(int input = 0);

    // Runs one command line as described above; unknown commands are
    // reported on standard error and ignored.
    void runCommand(const std::string& line);

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                          const std::optional<std::string>& title) override;
    std::string showFileDialog(const std::string& filter) override;

private:
    void onUpdateEvent(const UpdateEvent& event) override;
    void readInput();

    int m_input;
    QSocketNotifier* m_notifier = nullptr;
    QByteArray m_pending;
    std::string m_nextFile;
    Answer m_answer = Answer::No;
};

}  // namespace oxu::testkit
