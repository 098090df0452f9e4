#pragma once

#include <chrono>

namespace oxu {

// Monotonic time for the link watchdog. Microseconds since an arbitrary
// epoch; the value never goes backwards and is always above zero, because
// zero in LastActivity means "not watching".
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::microseconds now() const = 0;
};

// std::chrono::steady_clock: unaffected by midnight, time zones or the user
// setting the wall clock.
class SteadyClock final : public Clock {
public:
    std::chrono::microseconds now() const override;
};

}  // namespace oxu
