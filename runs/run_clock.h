#pragma once

// Time for a run over many ports: the monotonic clock the engine reads, and
// alarms that fire on it. The run never waits; it sets an alarm and returns
// to the loop. Tests give a clock that moves only when told, with alarms that
// fire as it passes them.

#include <chrono>
#include <functional>
#include <memory>

#include "protocol/clock.h"

namespace oxu::runs {

// A one-shot alarm: fires once, `after` from when it was started, unless
// stopped or started again first. Fires on the run's loop, never inside
// start() or stop().
class Alarm {
public:
    virtual ~Alarm() = default;
    virtual void start(std::chrono::microseconds after) = 0;
    virtual void stop() = 0;
    virtual bool active() const = 0;
};

class RunClock : public Clock {
public:
    // An alarm that calls fire; stopped until started. It must not outlive
    // this clock.
    virtual std::unique_ptr<Alarm> makeAlarm(std::function<void()> fire) = 0;
};

// The steady clock and Qt's timers on the thread's event loop.
class LoopClock final : public RunClock {
public:
    std::chrono::microseconds now() const override { return m_steady.now(); }
    std::unique_ptr<Alarm> makeAlarm(std::function<void()> fire) override;

private:
    SteadyClock m_steady;
};

}  // namespace oxu::runs
