#pragma once

#include <chrono>

#include "protocol/clock.h"

namespace oxu::cli::test {

// A clock the test moves by hand.
class FakeClock final : public Clock {
public:
    std::chrono::microseconds now() const override { return m_now; }
    void advance(std::chrono::microseconds by) { m_now += by; }

private:
    std::chrono::microseconds m_now{1'000'000};
};

}  // namespace oxu::cli::test
