#pragma once

// A watched update on the kit's fakes, and the 10 ms timer that drives its
// watchdog: either one that never stops, or one that ticks only while the
// window services have it switched on, as the window's does.

#include <chrono>
#include <vector>

#include "protocol/watched_update.h"
#include "tests/kit/fakes.h"
#include "tests/kit/test_files.h"

namespace oxu::testkit {

struct UpdateRig {
    UpdateRig() {
        window.setTickSwitch([this](bool run) {
            switches.push_back(run);
            running = run;
        });
    }

    void start() { update.start(files.file("image.bin", patterned(2000))); }

    // Lets `span` pass in 10 ms steps with the watchdog ticking on every
    // step. Returns the clock readings at which a box appeared.
    std::vector<std::chrono::microseconds> runTimer(std::chrono::microseconds span) {
        return run(span, false);
    }

    // The same, ticking only on the steps where the switch has the timer
    // running.
    std::vector<std::chrono::microseconds> runSwitched(std::chrono::microseconds span) {
        return run(span, true);
    }

    TempDir files;
    FakePort port;
    FakeWindow window;
    FakeClock clock;
    WatchedUpdate update{port, window, clock};
    std::vector<bool> switches;  // every call of the switch, in order
    bool running = false;
    int ticks = 0;  // ticks of the switched timer

private:
    std::vector<std::chrono::microseconds> run(std::chrono::microseconds span, bool switched) {
        using namespace std::chrono_literals;
        std::vector<std::chrono::microseconds> fired;
        const auto end = clock.now() + span;
        while (clock.now() < end) {
            clock.advance(10ms);
            if (switched && !running)
                continue;
            if (switched)
                ++ticks;
            const std::size_t before = window.boxes.size();
            update.tick();
            if (window.boxes.size() > before)
                fired.push_back(clock.now());
        }
        return fired;
    }
};

}  // namespace oxu::testkit
