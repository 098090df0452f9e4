#pragma once

// What the station shows of each port, kept apart from any widget: the
// tiles and the session's tally follow the run's events (runs/), so they can
// be checked from a scripted sequence of events without a window.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "runs/ports.h"
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

// A tile's port as the station lists it, and whether runs may open it.
struct StationPort {
    runs::PortRequest request;
    runs::PortIdentity identity;
    bool used = true;
};

// The ports named, each identified; or, with none named, every candidate the
// scan lists (USB adapters first, then the others, listed but not used), each
// with a port number of its own: the one that maps to it, or the lowest free.
// At most 16.
std::vector<StationPort> planPorts(const std::vector<runs::PortRequest>& named,
                                   runs::PortFactory& factory, const runs::CandidateScan& scan);

class TileBoard {
public:
    explicit TileBoard(const std::vector<StationPort>& ports);

    // A run begins on the used tiles, in order: its slots are those tiles.
    void beginRun();
    // Applies one event of the run; returns the tiles whose view changed.
    std::vector<std::size_t> apply(const runs::RunEvent& event);

    const std::vector<TileView>& tiles() const { return m_tiles; }
    const Tally& tally() const { return m_tally; }
    // The tile of each slot of the current run.
    const std::vector<std::size_t>& runTiles() const { return m_slots; }

private:
    void identify(std::size_t tile, const runs::PortIdentity& identity);
    void ended(std::size_t tile, const runs::AttemptEnded& ended);

    std::vector<TileView> m_tiles;
    std::vector<std::size_t> m_slots;
    Tally m_tally;
};

}  // namespace oxu::station
