#pragma once

// The update: announce the image's page count, then answer every page
// request the device sends until it reports completion. Holds the window's
// update state on its behalf; runs on the window's one thread. Shows its
// results through the window services, and reports them as typed events to
// an observer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/bytes.h"
#include "protocol/clock.h"
#include "protocol/serial_port.h"
#include "protocol/update_events.h"
#include "protocol/window_services.h"

namespace oxu {

inline constexpr const char* kTransferCompleteText = "Transfert Complete";
inline constexpr const char* kStartFromPageOneText = "Please start from page 1";

// How an update picks its port and line.
enum class PortSelection {
    // Closes the port if open, then selects the window's port text and baud
    // option (configurePort): the window's "Update" button.
    FromWindow,
    // The caller has selected the port and baud rate already: the port is
    // only closed if open, then opened as it stands.
    AsConfigured,
};

class UpdateTransfer {
public:
    // The three collaborators must outlive this object. Front ends use it
    // through WatchedUpdate, which wires it to the port and the watchdog.
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
    void startUpdate(const std::string& path, PortSelection selection = PortSelection::FromWindow);

    // Starts an update of an image already in memory, as the path form does
    // once the file is read: the header announces image.size() bytes. Throws
    // (after reporting StartFailed) for an image of more than 255 pages or a
    // port that cannot be set up or opened.
    void startUpdate(const Bytes& image, PortSelection selection);

    // The port has bytes waiting. Serves a complete page request, recognises
    // completion (closing the port; a close that could not send what was
    // left does not undo it, see UpdateCompleted), or keeps the bytes for
    // later. Bytes that cannot start a request are dropped up to the next
    // request mark, so between calls RxBuffer holds at most one byte. Any
    // byte re-arms the watch (and the tick), even after the watchdog has
    // reported a silence. Never re-entered: bytes that arrive while it runs
    // (for instance while its box is open) are handled in order as soon as
    // it returns.
    void onDataReceived();

    // The port went away while open (already closed). Reports it once
    // (PortLost with the error's kind, then a box with its text) and stops
    // watching the link.
    void onPortLost(const SerialError& error);

    SerialPort& port() { return m_port; }
    WindowServices& window() { return m_window; }
    Clock& clock() { return m_clock; }

private:
    friend class Watchdog;
    friend class WatchedUpdate;

    void notify(const UpdateEvent& event);
    // Marks activity now and makes sure the watchdog is ticking.
    void watch();
    void start(const std::string& path, PortSelection selection);
    // Closes the port if open, then selects port and line as asked.
    void selectPort(PortSelection selection);
    // Sends the header for image on the selected port and starts watching.
    void begin(Bytes image, const Bytes& header);
    void handleReceived();
    void dropStrayBytes();
    void serveRequest();
    void completeUpdate();
    void reportFailure(const std::string& description, PortErrorKind kind);

    SerialPort& m_port;
    WindowServices& m_window;
    Clock& m_clock;
    UpdateObserver* m_observer = nullptr;

    // Window-level update state, held here on the window's behalf; read
    // through WatchedUpdate.
    Bytes ImageData;                            // the whole firmware image
    Bytes RxBuffer;                             // received, not yet consumed
    bool AwaitingFirstReply = false;            // header sent, nothing heard yet
    std::chrono::microseconds LastActivity{0};  // last start or receive; 0 = not watching
    std::uint64_t m_bytesHeard = 0;             // received since the last start
    bool m_receiving = false;                   // a receive handler is running
    bool m_dataPending = false;                 // data arrived while it ran
};

// "Transferring page 007 ..." for page 7.
std::string transferStatusText(int page);

}  // namespace oxu
