#pragma once

// Where each port of a session stands, as people are shown it side by side:
// its state line in words, the kind of state (for a colour), the progress,
// the time taken and its counts, and the session's tally. It follows the
// run's events, so it can be checked from a scripted sequence of events
// without a window.
//
// It also paces the drawing: a port whose state changes is to be shown at
// once, while one that only moved on a page waits for the next refresh, which
// a front end calls every kRefreshInterval while wantsRefresh() holds (and
// only then: nothing needs a timer between runs).

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "runs/port_plan.h"
#include "runs/run_events.h"

namespace oxu::runs {

// The kind of a port's state, shown in a colour beside its words.
enum class Tone { Idle, Working, Stalled, Complete, Failed };

struct PortView {
    int number = 0;
    std::string device;   // its /dev/serial/by-id name when there is one, else its path
    std::string adapter;  // the USB adapter and its serial; empty when not USB
    int page = 0;         // the page last served, of pages
    int pages = 0;
    std::chrono::microseconds elapsed{0};  // the attempt so far, or how long it took
    std::string state;                     // "page 17 of 160", "complete", ...
    std::string problem;                   // why the last attempt failed, in short
    std::string detail;                    // the same as the port said it, in full
    Tone tone = Tone::Idle;
    int complete = 0;  // boards complete on this port, this session
    int failed = 0;
    bool used = true;  // false: listed only (a built-in port nobody named)
};

// Boards complete and failed this session; the yield is complete / both.
struct Tally {
    int complete = 0;
    int failed = 0;
};

// "complete 3, failed 1, yield 75.0%" ("yield -" before any board).
std::string describeTally(const Tally& tally);

class PortBoard {
public:
    // Pages and the time taken are shown again at most this often: often
    // enough to watch, seldom enough that 16 tiles cost the lines nothing.
    static constexpr std::chrono::milliseconds kRefreshInterval{250};

    explicit PortBoard(const std::vector<PlannedPort>& ports);

    // Applies one event of a run on the used ports, in order (its slots), at
    // now on the run's clock. Returns the ports whose state changed, to be
    // shown at once; a port that only moved on a page is left for refresh().
    std::vector<std::size_t> apply(const RunEvent& event, std::chrono::microseconds now);

    // The ports to show again: those that moved on since they were last
    // returned, and every port with an attempt under way, its time taken
    // moved on to now (a stalled device sends no events to move it).
    std::vector<std::size_t> refresh(std::chrono::microseconds now);

    // Whether refresh() has anything to do.
    bool wantsRefresh() const;

    const std::vector<PortView>& ports() const { return m_ports; }
    const Tally& tally() const { return m_tally; }

private:
    // What the pacing knows of a port beyond its view.
    struct Pace {
        std::optional<std::chrono::microseconds> since;  // the attempt's start, while it runs
        bool paging = false;                             // its state line is a page line
        bool pending = false;                            // moved on since it was last returned
    };

    void identify(std::size_t index, const PortIdentity& identity);
    void ended(std::size_t index, const AttemptEnded& ended);

    std::vector<PortView> m_ports;
    std::vector<Pace> m_pace;
    std::vector<std::size_t> m_slots;  // the port of each slot of a run
    Tally m_tally;
};

}  // namespace oxu::runs
