#include "cli/progress.h"

#include <algorithm>
#include <cstdio>

#include "protocol/firmware_image.h"
#include "protocol/frames.h"

namespace oxu::cli {
namespace {

// The rate needs a little time behind it, or the first page shows nonsense.
constexpr std::chrono::milliseconds kMinRateWindow{50};

std::string formatDuration(double seconds) {
    const auto whole = static_cast<long long>(seconds + 0.5);
    if (whole < 60)
        return std::to_string(whole) + " s";
    char text[32];
    std::snprintf(text, sizeof text, "%lld min %02lld s", whole / 60, whole % 60);
    return text;
}

}  // namespace

std::string formatProgressLine(const ProgressSnapshot& snapshot) {
    char page[32];
    std::snprintf(page, sizeof page, "page %03d/%03lld", snapshot.page, snapshot.totalPages);
    std::string line = page;
    if (snapshot.totalPages > 0) {
        // A device may ask for pages past the announced count (served empty).
        const long long percent = std::min(100LL, snapshot.page * 100LL / snapshot.totalPages);
        line += " (" + std::to_string(percent) + "%)";
    }
    line += ", " + groupThousands(snapshot.bytesSent) + " bytes sent, ";

    const double seconds = std::chrono::duration<double>(snapshot.elapsed).count();
    if (snapshot.elapsed < kMinRateWindow || snapshot.bytesSent == 0) {
        line += "-- B/s, -- left";
        return line;
    }
    const double rate = static_cast<double>(snapshot.bytesSent) / seconds;
    const std::uint64_t remaining = snapshot.expectedBytes > snapshot.bytesSent
                                        ? snapshot.expectedBytes - snapshot.bytesSent
                                        : 0;
    line +=
        formatRate(rate) + ", " + formatDuration(static_cast<double>(remaining) / rate) + " left";
    return line;
}

std::string formatRate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1000.0)
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1000.0);
    else
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    return text;
}

std::uint64_t expectedWireBytes(std::uint64_t imageBytes) {
    const auto pages = static_cast<std::uint64_t>(pageCount(imageBytes));
    return kHeaderFrameSize + imageBytes + 2 * pages;
}

ProgressDisplay::ProgressDisplay(std::ostream& out, bool terminal, const Clock& clock,
                                 ByteCounter bytesSent, std::uint64_t imageBytes)
    : m_out(out),
      m_terminal(terminal),
      m_clock(clock),
      m_bytesSent(std::move(bytesSent)),
      m_imageBytes(imageBytes),
      m_start(clock.now()) {}

void ProgressDisplay::showPage(int page) {
    ProgressSnapshot snapshot;
    snapshot.page = page;
    snapshot.totalPages = pageCount(m_imageBytes);
    snapshot.bytesSent = m_bytesSent ? m_bytesSent() : 0;
    snapshot.expectedBytes = expectedWireBytes(m_imageBytes);
    snapshot.elapsed = m_clock.now() - m_start;
    const std::string line = formatProgressLine(snapshot);
    if (m_terminal) {
        // Carriage return, then erase to the end of the line: a shorter line
        // must not leave the tail of a longer one behind.
        m_out << '\r' << line << "\x1b[K" << std::flush;
        m_lineOpen = true;
    } else {
        m_out << line << '\n' << std::flush;
    }
}

void ProgressDisplay::interrupt() {
    if (!m_lineOpen)
        return;
    m_out << '\n' << std::flush;
    m_lineOpen = false;
}

}  // namespace oxu::cli
