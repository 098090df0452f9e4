#include "cli/gang_display.h"

#include <algorithm>
#include <cstdio>

#include "cli/progress.h"

namespace oxu::cli {
namespace {

// The rate needs a little time behind it, or the first page shows nonsense.
constexpr std::chrono::milliseconds kMinRateWindow{50};

constexpr const char* kEraseToEndOfLine = "\x1b[K";
constexpr const char* kEraseBelow = "\x1b[J";

std::string moveUp(std::size_t lines) {
    return "\x1b[" + std::to_string(lines) + "A\r";
}

std::string moveDown(std::size_t lines) {
    return "\x1b[" + std::to_string(lines) + "B\r";
}

}  // namespace

std::string formatPortLine(const PortLine& line) {
    if (line.idle) {
        char port[16];
        std::snprintf(port, sizeof port, "COM %2d  ", line.port);
        return port + line.state;
    }
    const int percent = line.pages > 0 ? std::min(100, line.page * 100 / line.pages) : 0;
    std::string rate = "-- B/s";
    if (line.elapsed >= kMinRateWindow && line.bytesSent > 0) {
        rate = formatRate(static_cast<double>(line.bytesSent) /
                          std::chrono::duration<double>(line.elapsed).count());
    }
    char text[96];
    std::snprintf(text, sizeof text, "COM %2d  page %03d/%03d %3d%%  %10s", line.port, line.page,
                  line.pages, percent, rate.c_str());
    return std::string(text) + (line.state.empty() ? "" : "  " + line.state);
}

GangDisplay::GangDisplay(std::ostream& progress, std::ostream& messages, bool live, int columns,
                         const Clock& clock, const std::vector<int>& ports)
    : m_progress(progress), m_messages(messages), m_live(live), m_columns(columns), m_clock(clock) {
    for (int port : ports) {
        Port entry;
        entry.line.port = port;
        m_ports.push_back(entry);
    }
}

std::string GangDisplay::prefix(std::size_t index) const {
    return "COM " + std::to_string(m_ports[index].line.port) + ": ";
}

void GangDisplay::startAttempt(std::size_t index, int pages) {
    Port& port = m_ports[index];
    port.line.idle = false;
    port.line.page = 0;
    port.line.pages = pages;
    port.line.bytesSent = 0;
    port.start = m_clock.now();
    port.running = true;
    port.dirty = true;
}

void GangDisplay::showPage(std::size_t index, int page, std::uint64_t bytesSent) {
    Port& port = m_ports[index];
    port.line.page = page;
    port.line.bytesSent = bytesSent;
    port.dirty = true;
    if (!m_live) {
        char text[32];
        std::snprintf(text, sizeof text, "page %03d/%03d", page, port.line.pages);
        m_progress << prefix(index) << text << '\n' << std::flush;
    }
}

void GangDisplay::showState(std::size_t index, const std::string& state) {
    m_ports[index].line.state = state;
    if (m_live)
        drawLine(index);
    else
        m_progress << prefix(index) << state << '\n' << std::flush;
}

void GangDisplay::endAttempt(std::size_t index, const std::string& state) {
    Port& port = m_ports[index];
    if (port.running)
        port.line.elapsed = m_clock.now() - port.start;
    port.running = false;
    showState(index, state);
}

void GangDisplay::showIdle(std::size_t index, const std::string& state) {
    Port& port = m_ports[index];
    // A log says it once.
    if (port.line.idle && port.line.state == state && !m_live)
        return;
    const int number = port.line.port;
    port.line = PortLine{};
    port.line.port = number;
    port.line.idle = true;
    port.running = false;
    showState(index, state);
}

void GangDisplay::showMessage(const std::string& line) {
    if (!m_live) {
        m_messages << line << std::endl;
        return;
    }
    if (m_drawn)
        m_progress << moveUp(m_ports.size()) << kEraseBelow;
    m_progress << line << '\n';
    drawBlock();
}

void GangDisplay::refresh() {
    if (!m_live)
        return;
    const std::chrono::microseconds now = m_clock.now();
    if (m_drawn && now - m_lastRefresh < kRedrawInterval)
        return;
    m_lastRefresh = now;
    for (std::size_t index = 0; index < m_ports.size(); ++index) {
        if (m_ports[index].dirty)
            drawLine(index);
    }
}

void GangDisplay::finish() {
    if (!m_live)
        return;
    if (!m_drawn) {
        drawBlock();
        return;
    }
    for (std::size_t index = 0; index < m_ports.size(); ++index) {
        if (m_ports[index].dirty)
            drawLine(index);
    }
}

std::string GangDisplay::render(std::size_t index) {
    Port& port = m_ports[index];
    if (port.running)
        port.line.elapsed = m_clock.now() - port.start;
    port.dirty = false;
    std::string text = formatPortLine(port.line);
    // A line that wraps would throw the cursor arithmetic off.
    if (m_columns > 1 && text.size() >= static_cast<std::size_t>(m_columns))
        text.resize(static_cast<std::size_t>(m_columns) - 1);
    return text;
}

void GangDisplay::drawBlock() {
    for (std::size_t index = 0; index < m_ports.size(); ++index)
        m_progress << render(index) << kEraseToEndOfLine << '\n';
    m_progress << std::flush;
    m_drawn = true;
}

void GangDisplay::drawLine(std::size_t index) {
    if (!m_drawn) {
        drawBlock();
        return;
    }
    const std::size_t up = m_ports.size() - index;
    m_progress << moveUp(up) << render(index) << kEraseToEndOfLine << moveDown(up) << std::flush;
}

}  // namespace oxu::cli
