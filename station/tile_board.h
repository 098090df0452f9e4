#pragma once

// What the station shows of each port, kept apart from any widget: the
// tiles and the session's tally follow the run's events (runs/), so they can
// be checked from a scripted sequence of events without a window.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "runs/port_plan.h"
#include "runs/run_events.h"

namespace oxu::station {

// The colour a tile's state is shown in, beside its words.
enum class Tone { Idle, Working, Stalled, Complete, Failed };

struct TileView {
    int number = 0;
    std::string device;   // its /dev/serial/by-id name when there is one, else its path
    std::string adapter;  // the USB adapter and its serial; empty when not USB
    int page = 0;         // the page last served, of pages
    int pages = 0;
    std::chrono::microseconds elapsed{0};  // the attempt so far, or how long it took
    std::string state;                     // "page 17 of 160", "complete", ...
    std::string problem;                   // why the last attempt failed, as the port said
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

// "complete 3, failed 1, yield 75%" ("yield -" before any board).
std::string describeTally(const Tally& tally);

class TileBoard {
public:
    explicit TileBoard(const std::vector<runs::PlannedPort>& ports);

    // Applies one event of a run on the used tiles, in order (its slots);
    // returns the tiles whose view changed.
    std::vector<std::size_t> apply(const runs::RunEvent& event);

    const std::vector<TileView>& tiles() const { return m_tiles; }
    const Tally& tally() const { return m_tally; }

private:
    void identify(std::size_t tile, const runs::PortIdentity& identity);
    void ended(std::size_t tile, const runs::AttemptEnded& ended);

    std::vector<TileView> m_tiles;
    std::vector<std::size_t> m_slots;  // the tile of each slot of a run
    Tally m_tally;
};

}  // namespace oxu::station
