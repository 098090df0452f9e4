#pragma once

// The window driven by a script on standard input instead of an operator, so
// that tests can run the real program as a child process (with the
// offscreen platform) and watch it from outside. Enabled only when the
// environment variable OXU_UPDATER_TEST_CONTROL is "1"; the program has no
// other way to reach it.
//
// One command per line:
//   file <path>         the next file dialog returns <path> without showing
//   answer yes|no       how the following Yes/No boxes are answered (default no)
//   click <objectName>  clicks that push button (Command1, Command2, Command3)
//   status <text>       shows <text> in the status line
// Each message box is answered at once and printed to standard output as
//   box <icon> <title>|<text>
// where icon is none, information, warning or question.

#include <QByteArray>
#include <string>

#include "app/form1.h"

class QSocketNotifier;

namespace oxu {

inline constexpr const char* kTestControlVariable = "OXU_UPDATER_TEST_CONTROL";

// True when the environment asks for the scripted window.
bool testControlRequested();

class ScriptedForm1 : public Form1 {
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
    void readInput();

    int m_input;
    QSocketNotifier* m_notifier = nullptr;
    QByteArray m_pending;
    std::string m_nextFile;
    Answer m_answer = Answer::No;
};

}  // namespace oxu
