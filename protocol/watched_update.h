#pragma once

// One update on one port, watched for silence: the transfer, wired to the
// port's data and port-lost notifications, and the watchdog that judges the
// device's silence on every tick. Every front end (the window, the terminal
// tool, the benchmark) runs its updates through this one piece; what it adds
// of its own is the timer that calls tick() while the window services have
// the tick switched on, and what it shows for each event.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/bytes.h"
#include "protocol/clock.h"
#include "protocol/serial_port.h"
#include "protocol/update_events.h"
#include "protocol/update_transfer.h"
#include "protocol/watchdog.h"
#include "protocol/window_services.h"

namespace oxu {

// What the current (or last) update has done so far; reset by every start.
struct UpdateProgress {
    int pagesAnnounced = 0;        // in the header
    int requestsServed = 0;        // page requests answered, repeats included (page 0 is not)
    int pagesServed = 0;           // distinct pages of 1..pagesAnnounced answered at least once
    std::uint64_t bytesHeard = 0;  // bytes received from the device
    // Clock reading of the start, or of the last page request answered.
    std::chrono::microseconds lastProgress{0};

    // True when every announced page went out at least once (and for an
    // image of no pages).
    bool allPagesServed() const { return pagesServed == pagesAnnounced; }
};

class WatchedUpdate final : private UpdateObserver {
public:
    // Connects the port's data and port-lost handlers to the transfer. The
    // three collaborators must outlive this object; its destruction takes the
    // handlers off the port again, so a port may outlive it.
    WatchedUpdate(SerialPort& port, WindowServices& window, Clock& clock);
    ~WatchedUpdate() override;
    WatchedUpdate(const WatchedUpdate&) = delete;
    WatchedUpdate& operator=(const WatchedUpdate&) = delete;

    // Where the engine's events go (not owned; null for none), in order and
    // before the box that goes with each. The observer must outlive this
    // object or be replaced first, and must not call back into it.
    void setObserver(UpdateObserver* observer) { m_observer = observer; }

    // The window's "Update" button: asks for a firmware file, then starts an
    // update of it with the window's port and baud. Any failure ends the
    // command and shows its description in a warning box.
    void runUpdateCommand();

    // Starts an update of the file at path, read now (see
    // UpdateTransfer::startUpdate: an empty path, or one that is not a
    // regular file, does nothing and reports nothing). Reports StartFailed
    // and throws on any other failure.
    void start(const std::string& path, PortSelection selection = PortSelection::FromWindow);

    // Starts an update of an image already in memory (read and checked once
    // by the caller); the file is not looked at again. Reports StartFailed
    // and throws (std::invalid_argument for more than 255 pages, SerialError
    // for the port).
    void start(const Bytes& image, PortSelection selection);

    // The watchdog's tick: call it every 10 ms while the window services
    // have the tick switched on (WindowServices::setTickSwitch). Reports a
    // silence of more than a second once, as ConnectionFailed or
    // TransferInterrupted.
    void tick() { m_watchdog.tick(); }

    // Stops watching the current update: no silence is reported until the
    // next start or the next byte from the device, and the tick is let stop.
    // The port is left as it is.
    void stopWatching();

    // True while the update is watched: from the start until completion, a
    // reported silence, a lost port, a failed write or stopWatching(). A
    // byte from the device watches it again.
    bool watching() const { return m_transfer.LastActivity.count() != 0; }
    // True from the start until the device's first byte.
    bool awaitingFirstReply() const { return m_transfer.AwaitingFirstReply; }
    // Clock reading of the start or of the last byte received; zero while
    // not watching.
    std::chrono::microseconds lastActivity() const { return m_transfer.LastActivity; }
    // The image being sent (empty before the first start).
    const Bytes& image() const { return m_transfer.ImageData; }
    // Bytes received and not yet consumed by a request or completion.
    const Bytes& pendingBytes() const { return m_transfer.RxBuffer; }
    // Pages announced and served, bytes heard, since the last start.
    UpdateProgress progress() const;

    SerialPort& port() { return m_transfer.port(); }

private:
    void onUpdateEvent(const UpdateEvent& event) override;

    UpdateTransfer m_transfer;
    Watchdog m_watchdog;
    UpdateObserver* m_observer = nullptr;
    UpdateProgress m_progress;
    std::vector<bool> m_served;  // by page number: answered at least once
};

}  // namespace oxu
