#pragma once

// One port's update on an event loop shared with other ports: its own serial
// port, transfer and watchdog, and the give-up after --timeout of silence.
// Run once per attempt. Decides on the engine's events only; what people
// read goes out through hooks, so one port and many show it their own way.

#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>

#include "cli/attempt.h"
#include "cli/traced_port.h"
#include "protocol/line_choices.h"
#include "protocol/update_events.h"
#include "protocol/watched_update.h"
#include "protocol/window_services.h"
#include "serial/qt_serial_port.h"

namespace oxu::cli {

// The 10 ms tick of the watchdogs of every port, from one timer that runs
// while any of them is watching an update.
class WatchdogTicker {
public:
    static constexpr std::chrono::milliseconds kInterval{10};

    WatchdogTicker();
    // Adds `tick` for owner (run), or takes owner's away (!run).
    void set(const void* owner, std::function<void()> tick, bool run);

private:
    QTimer m_timer;
    std::map<const void*, std::function<void()>> m_ticks;
};

// What an attempt needs to know, the same for every attempt on the port.
struct RunSetup {
    int port = 1;
    std::optional<std::string> device;  // --device: the path port N maps to
    int baud = kDefaultLineChoice.baud;
    std::chrono::milliseconds timeout{10'000};
    std::string file;
    std::ostream* trace = nullptr;  // --trace: where the frames go; null for none
};

class PortRun {
public:
    struct Hooks {
        // Every event of the engine, as it happens.
        std::function<void(const UpdateEvent&)> onEvent;
        // A text for people: the window's boxes, the give-up, a close failure.
        std::function<void(const std::string& text)> onMessage;
        // The attempt is over; once per attempt, before its port is closed.
        std::function<void(const AttemptReport&)> onEnd;
    };

    // clock and ticker must outlive this object.
    PortRun(RunSetup setup, Clock& clock, WatchdogTicker& ticker, Hooks hooks);
    ~PortRun();
    PortRun(const PortRun&) = delete;
    PortRun& operator=(const PortRun&) = delete;

    // Begins attempt number `attempt` (1 for the first): opens the port and
    // sends the header. An attempt that cannot start has ended (onEnd)
    // before this returns.
    void start(int attempt);

    // Ends the running attempt as Interrupted and closes the port; nothing
    // when none is running.
    void interrupt();

    bool running() const { return m_running; }
    // "COM 3 (/dev/ttyUSB0)".
    std::string describe() const { return m_port.describe(); }
    // Bytes the current (or last) attempt has sent.
    std::uint64_t bytesSent() const { return m_port.bytesWritten() - m_bytesAtStart; }

private:
    class Window;

    void handleEvent(const UpdateEvent& event);
    void switchTick(bool run);
    void tick();
    void armGiveUp();
    void checkSilence();
    void end(RunResult result, const std::string& problem);
    void closePort();

    RunSetup m_setup;
    Clock& m_clock;
    WatchdogTicker& m_ticker;
    Hooks m_hooks;
    QtSerialPort m_serial;
    TracedPort m_port;
    std::unique_ptr<Window> m_window;
    WatchedUpdate m_update;
    FunctionObserver m_observer;
    QTimer m_giveUp;

    bool m_running = false;
    bool m_started = false;  // the header of this attempt went out
    AttemptReport m_report;
    std::chrono::microseconds m_startTime{0};
    std::chrono::microseconds m_lastHeard{0};
    std::uint64_t m_bytesAtStart = 0;
};

}  // namespace oxu::cli
