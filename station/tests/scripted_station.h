#pragma once

// The station window driven by lines on standard input instead of an
// operator, so that tests, the benchmark and the screenshots can run the real
// window as a child process (offscreen) and watch it from outside. It is the
// program oxu-station-scripted, built with the tests and never installed.
// Buttons are pressed, and tiles read, through the accessibility interface,
// as assistive technology would.
//
// Commands, one per line:
//   start            presses "Start"
//   station          presses "Station mode"
//   stop             presses "Stop"
//   image <path>     presses "Choose image…", whose file dialog returns <path>
//   close            closes the window; "Stop the run on N ports?" is answered Yes
//   state            prints one "tile" line per tile, in order, then the tally line
// The end of standard input is taken as "close". Unknown commands are
// reported on standard error and ignored.
//
// Printed on standard output, a line each, as it happens:
//   tile COM <n>: <state line>   a tile's state line changed (and for "state")
//   tally <tally line>           for "state": "complete 3, failed 1, yield 75.0%"
//   finished <exit code>         a run finished: every port closed, every record written
//   question <text>              the window asked (and was answered Yes)
//   message <text>               the window's message line changed (empty: cleared)
//   closed                       the window closed; the program then ends with 0

#include <QByteArray>
#include <QString>
#include <string>

#include "station/station_window.h"

class QSocketNotifier;

namespace oxu::testkit {

class ScriptedStation final : public station::StationWindow {
    Q_OBJECT

public:
    ScriptedStation(station::StationOptions options, const std::vector<runs::PlannedPort>& ports,
                    station::StationParts parts, int input = 0);

    // Runs one command line as described above.
    void runCommand(const std::string& line);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool askYesNo(const QString& question) override;
    QString pickImageFile() override;

private:
    void readInput();
    // Presses the button of that accessible name; false when there is none.
    bool press(const QString& name);
    void printState();

    int m_input;
    QSocketNotifier* m_notifier = nullptr;
    QByteArray m_pending;
    QString m_nextImage;
};

}  // namespace oxu::testkit
