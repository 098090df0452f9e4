#pragma once

// The update's progress for a terminal or a log: page, share of the pages
// announced in the header, bytes sent, rate and time left.

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "protocol/clock.h"
#include "runs/report.h"

namespace oxu::cli {

// What one progress line shows.
struct ProgressSnapshot {
    int page = 0;                          // the page being sent
    long long totalPages = 0;              // pages announced in the header
    std::uint64_t bytesSent = 0;           // every byte written so far, header included
    std::uint64_t expectedBytes = 0;       // header plus every page frame once
    std::chrono::microseconds elapsed{0};  // since the header went out
};

// "page 007/255 (2%), 1,546 bytes sent, 12.3 kB/s, 5 s left". The rate and the
// time left read "--" until some time has passed and bytes have gone out;
// the share is left out when the header announced no pages.
std::string formatProgressLine(const ProgressSnapshot& snapshot);

using runs::groupThousands;

// "262 B/s", "16.4 kB/s".
std::string formatRate(double bytesPerSecond);

// Bytes on the wire for an image of imageBytes: the 4-byte header and one
// frame (data plus 2-byte checksum) for each page.
std::uint64_t expectedWireBytes(std::uint64_t imageBytes);

// Shows the pages of an update as they are served. On a terminal one line
// rewrites itself; otherwise every page gets its own line, so logs stay
// readable.
class ProgressDisplay {
public:
    using ByteCounter = std::function<std::uint64_t()>;

    // out, clock and the counter must outlive this object. Time is counted
    // from construction.
    ProgressDisplay(std::ostream& out, bool terminal, const Clock& clock, ByteCounter bytesSent,
                    std::uint64_t imageBytes);

    // The page just served (0 for a request of page 0).
    void showPage(int page);

    // Ends a rewritten line so that a message can be printed below it.
    void interrupt();

private:
    std::ostream& m_out;
    bool m_terminal;
    const Clock& m_clock;
    ByteCounter m_bytesSent;
    std::uint64_t m_imageBytes;
    std::chrono::microseconds m_start;
    bool m_lineOpen = false;  // a rewritten line is on screen without its newline
};

}  // namespace oxu::cli
