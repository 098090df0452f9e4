#pragma once

// The operator's window: port and baud choices, the "Update", "Cancel" and
// "Send Download Command" buttons, and the status line. It wires widget,
// timer and port events to the transfer logic in protocol/ and shows what
// that logic asks for; it makes no decision of its own.

#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "app/common_dialog.h"
#include "protocol/bytes.h"
#include "protocol/clock.h"
#include "protocol/serial_port.h"
#include "protocol/watched_update.h"
#include "protocol/window_services.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTimer;

namespace oxu {

class Form1 : public QWidget, public WindowServices {
    Q_OBJECT

public:
    // Client area in pixels: 4740 x 2145 twips at 15 twips a pixel.
    static constexpr int kClientWidth = 316;
    static constexpr int kClientHeight = 143;
    // The watchdog's tick, while an update is watched.
    static constexpr int kTimerIntervalMs = 10;
    // Credit line shown in Label3.
    static constexpr const char* kCreditText = "OXU Updater for Linux";

    // Builds the window and runs its load step (38400 baud, port "1", empty
    // status). With port null the window owns a Qt serial port on the system's
    // port mapping; an injected port (tests) must outlive the window. Same for
    // clock: null means the steady clock.
    explicit Form1(SerialPort* port = nullptr, Clock* clock = nullptr, QWidget* parent = nullptr);
    ~Form1() override;

    // Reads the whole file named Fichier as raw bytes (see oxu::Lire); throws
    // FirmwareReadError when it cannot be read whole.
    Bytes Lire(const std::string& Fichier);

    // Window services used by the transfer logic.
    std::string portText() const override;
    BaudOption selectedBaud() const override;
    // Sets Label2's text, resizes it to the text and repaints it before
    // returning, without running any other pending event. Assistive
    // technology is told of the new text.
    void setStatus(const std::string& text) override;
    // Ends the process at once with status 0; no further event runs and the
    // system releases the serial port, once the serial flags the open
    // changed are put back (restoreSavedLineFlags).
    void endProgram() override;

    // The update with its watchdog, for inspection by tests.
    WatchedUpdate& watchedUpdate() { return m_update; }

    // "COM 1: /dev/ttyUSB0", or why the selected number has no device; the
    // tooltip of Combo1.
    QString portMappingText() const;

    // Controls, named as the operator's documents name them.
    QPushButton* Command1 = nullptr;  // "Cancel"
    QComboBox* Combo1 = nullptr;      // port number "1".."16"
    QGroupBox* Frame1 = nullptr;      // "BAUD Rate"
    QRadioButton* Option2 = nullptr;  // 9600
    QRadioButton* Option3 = nullptr;  // 19200
    QRadioButton* Option4 = nullptr;  // 38400
    QLabel* Label1 = nullptr;         // "Comm Port"
    QPushButton* Command2 = nullptr;  // "Update"
    QLabel* Label2 = nullptr;         // status line
    QLabel* Label3 = nullptr;         // credit
    QPushButton* Command3 = nullptr;  // "Send Download Command"
    QTimer* Timer1 = nullptr;         // watchdog tick; runs only while an update is watched
    CommonDialog* CommonDialog1 = nullptr;
    SerialPort* MSComm1 = nullptr;

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                          const std::optional<std::string>& title) override;
    std::string showFileDialog(const std::string& filter) override;

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void setAccessibleTexts();
    void wireEvents();
    void load();
    void refreshPortTooltip();

    std::unique_ptr<SerialPort> m_ownedPort;
    std::unique_ptr<Clock> m_ownedClock;
    WatchedUpdate m_update;
    QButtonGroup* m_baudGroup = nullptr;
    bool m_centred = false;
};

}  // namespace oxu
