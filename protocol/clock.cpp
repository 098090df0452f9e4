#include "protocol/clock.h"

#include <algorithm>

namespace oxu {

std::chrono::microseconds SteadyClock::now() const {
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    // Zero means "not watching" to the watchdog, so it must never be a reading.
    return std::max(sinceEpoch, std::chrono::microseconds(1));
}

}  // namespace oxu
