#pragma once

// What a person sees of several ports updated at once. On a terminal, one
// line per port (port, page/pages, %, rate, state) rewritten in place, with
// messages printed above the block; otherwise one plain line per event, each
// starting with its port ("COM 3: page 017/160"), so parallel runs can be
// told apart in a log.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/clock.h"

namespace oxu::cli {

// What one port's live line shows.
struct PortLine {
    int port = 0;
    int page = 0;
    int pages = 0;
    std::uint64_t bytesSent = 0;
    std::chrono::microseconds elapsed{0};  // since the attempt began
    std::string state;
    bool idle = false;  // no attempt on the port: the state alone
};

// "COM  3  page 017/160  10%   12.3 kB/s  sending". The rate reads "--"
// until some time has passed and bytes have gone out. An idle port:
// "COM  3  waiting for a board".
std::string formatPortLine(const PortLine& line);

class GangDisplay {
public:
    // Lines rewritten in place are redrawn at most this often for pages;
    // a new state is drawn at once.
    static constexpr std::chrono::milliseconds kRedrawInterval{100};

    // progress receives the port lines (and, when live, the messages);
    // messages receives the messages otherwise. live: progress is a
    // terminal `columns` wide. The streams and the clock must outlive this.
    GangDisplay(std::ostream& progress, std::ostream& messages, bool live, int columns,
                const Clock& clock, const std::vector<int>& ports);

    // A new attempt at the port at index: its counters start again.
    void startAttempt(std::size_t index, int pages);
    // A page served; bytesSent counts the attempt's bytes so far.
    void showPage(std::size_t index, int page, std::uint64_t bytesSent);
    // What the port is doing now ("sending", "complete", ...). Plain: one
    // line "COM 3: <state>".
    void showState(std::size_t index, const std::string& state);
    // The attempt at the port at index is over: its rate stops moving, and
    // its state becomes `state`.
    void endAttempt(std::size_t index, const std::string& state);
    // No attempt on the port at index ("waiting for a board"): its line
    // shows the state alone, not the last attempt's pages.
    void showIdle(std::size_t index, const std::string& state);
    // A whole line of its own, e.g. "oxu-update: COM 3: connection failed".
    void showMessage(const std::string& line);
    // Redraws the lines whose pages moved on since they were last drawn, if
    // kRedrawInterval has passed. Nothing when not live.
    void refresh();
    // Draws every line as it stands and leaves the cursor below the block.
    void finish();

    bool live() const { return m_live; }

private:
    struct Port {
        PortLine line;
        std::chrono::microseconds start{0};
        bool running = false;  // the elapsed time still moves
        bool dirty = false;
    };

    std::string prefix(std::size_t index) const;
    std::string render(std::size_t index);
    void drawBlock();
    void drawLine(std::size_t index);

    std::ostream& m_progress;
    std::ostream& m_messages;
    bool m_live;
    int m_columns;
    const Clock& m_clock;
    std::vector<Port> m_ports;
    bool m_drawn = false;  // the block is on screen
    std::chrono::microseconds m_lastRefresh{0};
};

}  // namespace oxu::cli
