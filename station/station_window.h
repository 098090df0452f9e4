#pragma once

// The station window: the image, one tile per port, Start, Station mode and
// Stop, the session's tally and where the records go. It wires the widgets
// to a runs::Scheduler and shows what the run tells; the tiles' words, and
// when each is drawn, come from runs::PortBoard. Its one timer, which draws
// the pages and moves the time taken on, runs only while a run has a tile
// to draw.

#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runs/image.h"
#include "runs/port_board.h"
#include "runs/ports.h"
#include "runs/run_clock.h"
#include "runs/run_events.h"
#include "station/command_line.h"

class QLabel;
class QPushButton;

namespace oxu::station {

class TileWidget;

// Where runs get their ports, boards and time: the system's, or a test's.
// Everything must outlive the window.
struct StationParts {
    runs::PortFactory& ports;
    runs::Presence& presence;
    runs::RunClock& clock;
};

class StationWindow : public QWidget, private runs::RunObserver {
    Q_OBJECT

public:
    // One tile per port, in order; options give the image, the audit log,
    // the baud rate and the retries.
    StationWindow(StationOptions options, const std::vector<runs::PlannedPort>& ports,
                  StationParts parts, QWidget* parent = nullptr);
    ~StationWindow() override;

    bool running() const;
    const runs::PortBoard& board() const { return m_board; }

    // Start: every used port once. Station mode: board after board until
    // Stop. Refused with a message while a run goes, without an image, or
    // when the image or the audit log cannot be used.
    void startRun(bool station);
    // Stop: every attempt ends as interrupted, with its record saying why,
    // and every port closes; the run finishes once they have.
    void stopRun(runs::Interruption why = runs::Interruption::OperatorStop);
    // Choose image…: refused with a message while a run goes.
    void chooseImage();
    // A signal to end the program: stops the run, then closes the window.
    void stopAndClose();

signals:
    // A tile's state line changed.
    void tileChanged(int number, const QString& state);
    // A run is over, every record written and every port closed.
    void runFinished(int exitCode);
    void messageShown(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;
    // Asks a Yes/No question; true for Yes.
    virtual bool askYesNo(const QString& question);
    // The image file the operator picks; empty when none.
    virtual QString pickImageFile();

private:
    struct Run;

    void onRunEvent(const runs::RunEvent& event) override;
    void showTiles(const std::vector<std::size_t>& tiles);
    // The refresh timer runs while the board has something to draw.
    void paceRefresh();
    void runDone();
    void showImage(const runs::ImageSnapshot& image);
    void showMessage(const QString& text);
    void updateButtons();

    StationOptions m_options;
    std::vector<runs::PlannedPort> m_ports;
    StationParts m_parts;
    runs::PortBoard m_board;
    std::unique_ptr<runs::Alarm> m_refresh;
    std::vector<TileWidget*> m_tiles;
    QLabel* m_image = nullptr;
    QLabel* m_log = nullptr;
    QLabel* m_tally = nullptr;
    QLabel* m_message = nullptr;
    QPushButton* m_choose = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_station = nullptr;
    QPushButton* m_stop = nullptr;
    std::unique_ptr<Run> m_run;  // the current or last run
    bool m_closeWhenDone = false;
};

}  // namespace oxu::station
