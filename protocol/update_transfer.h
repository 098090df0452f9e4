#pragma once

// The update: announce the image's page count, then answer every page
// request the device sends until it reports completion. Holds the window's
// update state on its behalf; runs on the window's one thread. Shows its
// results through the window services, and reports them as typed events to
// an observer.

#include <chrono>
#include <cstddef>
#include <string>

#include "protocol/bytes.h"
#include "protocol/clock.h"
#include "protocol/serial_port.h"
#include "protocol/update_events.h"
#include "protocol/window_services.h"

namespace oxu {

inline constexpr const char* kTransferCompleteText = "Transfert Complete";
inline constexpr const char* kStartFromPageOneText = "Please start from page 1";

class UpdateTransfer {
public:
    // The three collaborators must outlive this object.
    UpdateTransfer(SerialPort& port, WindowServices& window, Clock& clock);

    // Where events go (not owned; null for none). The observer must outlive
    // this object or be replaced first.
    void setObserver(UpdateObserver* observer) { m_observer = observer; }

    // The "Update" button: asks for a firmware file, then starts the update.
    // Any failure ends the command and shows its description in a warning box.
    void runUpdateCommand();

    // Starts an update of the file at path. Returns silently, reporting
    // nothing, for an empty path or one that is not a regular file. Once the
    // port is open the update is watched (the window's tick is started), and
    // UpdateStarted is reported once the header is written. On any other failure reports
    // StartFailed and throws (SerialError, FirmwareReadError, std::exception);
    // steps done before the failure stay done.
    void startUpdate(const std::string& path);

    // The port has bytes waiting. Serves a complete page request, recognises
    // completion, or keeps the bytes for later. Bytes that cannot start a
    // request are dropped up to the next request mark, so between calls
    // RxBuffer holds at most one byte. Any byte re-arms the watch
    // (and the tick), even after the watchdog has reported a silence. Never re-entered: bytes that
    // arrive while it runs (for instance while its box is open) are handled
    // in order as soon as it returns.
    void onDataReceived();

    // The port went away while open (already closed). Reports it once
    // (PortLost with the error's kind, then a box with its text) and stops
    // watching the link.
    void onPortLost(const SerialError& error);

    // Window-level update state, held here on the window's behalf.
    Bytes ImageData;                            // the whole firmware file
    Bytes RxBuffer;                             // received, not yet consumed
    bool AwaitingFirstReply = false;            // header sent, nothing heard yet
    std::chrono::microseconds LastActivity{0};  // last start or receive; 0 = not watching

    SerialPort& port() { return m_port; }
    WindowServices& window() { return m_window; }
    Clock& clock() { return m_clock; }

private:
    friend class Watchdog;

    void notify(const UpdateEvent& event);
    // Marks activity now and makes sure the watchdog is ticking.
    void watch();
    void start(const std::string& path);
    void handleReceived();
    void dropStrayBytes();
    void serveRequest();
    void completeUpdate();
    void reportFailure(const std::string& description, PortErrorKind kind);

    SerialPort& m_port;
    WindowServices& m_window;
    Clock& m_clock;
    UpdateObserver* m_observer = nullptr;
    bool m_receiving = false;    // a receive handler is running
    bool m_dataPending = false;  // data arrived while it ran
};

// "Transferring page 007 ..." for page 7.
std::string transferStatusText(int page);

}  // namespace oxu
