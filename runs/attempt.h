#pragma once

// One attempt at updating one port, on a loop shared with other ports: the
// port, the download command that may go first, the watched update that
// answers the device on it, and the give-up after --timeout without progress. It decides on the
// engine's events only and tells its listener in values; it never waits, and it closes its port
// only through closeWhenSent, so a stalled line holds up nobody else.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "protocol/serial_port.h"
#include "protocol/update_events.h"
#include "runs/image.h"
#include "runs/report.h"
#include "runs/run_clock.h"
#include "runs/run_events.h"

namespace oxu::runs {

// The 10 ms tick of the watchdogs of every attempt, from one alarm that runs
// while any of them is watching.
class Ticker {
public:
    static constexpr std::chrono::milliseconds kInterval{10};

    explicit Ticker(RunClock& clock);
    // Adds `tick` for owner, or takes owner's away (an empty tick).
    void set(const void* owner, std::function<void()> tick);

private:
    void fire();

    std::unique_ptr<Alarm> m_alarm;
    std::map<const void*, std::function<void()>> m_ticks;
};

class Attempt {
public:
    struct Setup {
        std::string id;
        int attempt = 1;  // 1 for the first on its port (board)
        int baud = 38400;
        // Time without progress (the start, a page served) before it gives up.
        std::chrono::milliseconds timeout{10'000};
        // Set: first send the download command (open, write, close through
        // closeWhenSent), wait this long for the device to enter its download
        // mode, then open the port again for the update. Every attempt sends
        // it, since a device that fell out of download mode needs it again.
        std::optional<std::chrono::milliseconds> downloadFirst{};
    };

    class Listener {
    public:
        virtual ~Listener() = default;
        // Every event of the engine, as it happens.
        virtual void attemptEvent(const UpdateEvent& event, const AttemptProgress& progress) = 0;
        // The download command left and its port is closed; the update
        // opens the port again after settle.
        virtual void downloadCommandSent(std::chrono::milliseconds settle) = 0;
        // The attempt is over; once, before its port is released.
        virtual void attemptEnded(const AttemptReport& report) = 0;
        // The port is released, after attemptEnded; failure: what its close
        // could not send.
        virtual void attemptClosed(const std::optional<SerialError>& failure) = 0;
    };

    // port is closed and must not be used by anyone else; image, clock,
    // ticker and listener must outlive this object.
    Attempt(std::unique_ptr<SerialPort> port, const ImageSnapshot& image, RunClock& clock,
            Ticker& ticker, Setup setup, Listener& listener);
    ~Attempt();
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;

    // Sets the baud rate, opens the port and sends the header (with
    // downloadFirst: the download command, and the header once the port has
    // closed and settled). An attempt that cannot start has ended (and is
    // closing) when this returns.
    void start();
    // Ends a running attempt as Interrupted, saying why, and closes its port.
    void interrupt(Interruption why = Interruption::Signal);

    bool running() const { return m_running; }
    // Over, and its port released: it may be destroyed.
    bool closed() const { return m_closed; }
    AttemptProgress progress() const;

private:
    class Engine;

    void startUpdate();
    void commandClosed(const std::optional<SerialError>& failure);
    void commandFailed(const std::exception& failure, PortErrorKind kind);
    void handleEvent(const UpdateEvent& event);
    void checkProgress();
    void end(RunResult result, std::string problem, std::optional<PortErrorKind> kind = {});
    void portReleased(const std::optional<SerialError>& failure);

    const ImageSnapshot& m_image;
    RunClock& m_clock;
    Ticker& m_ticker;
    Setup m_setup;
    Listener& m_listener;
    std::unique_ptr<Engine> m_engine;
    std::unique_ptr<Alarm> m_giveUp;
    std::unique_ptr<Alarm> m_settle;  // after the download command, until the update opens

    bool m_running = false;
    bool m_ended = false;
    bool m_released = false;  // the port's close has finished
    bool m_closed = false;    // ended, and released, and the listener told
    std::optional<SerialError> m_closeFailure;
    int m_page = 0;
    std::chrono::microseconds m_startTime{0};
    std::uint64_t m_heardAtProgress = 0;
    DownloadCommandStep m_command = DownloadCommandStep::NotAsked;
};

}  // namespace oxu::runs
