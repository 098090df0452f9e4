#include "cli/traced_port.h"

#include <cstdio>

namespace oxu::cli {

std::string formatTraceLine(std::chrono::microseconds sinceStart, char direction, ByteView bytes) {
    char stamp[32];
    const long long micros = sinceStart.count();
    std::snprintf(stamp, sizeof stamp, "[%4lld.%06lld] %c", micros / 1'000'000, micros % 1'000'000,
                  direction);
    std::string line = stamp;
    line.reserve(line.size() + bytes.size() * 3 + 16);
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const std::uint8_t byte : bytes) {
        line += ' ';
        line += kHex[byte >> 4];
        line += kHex[byte & 0x0F];
    }
    line += "  (" + std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte)" : " bytes)");
    return line;
}

TracedPort::TracedPort(SerialPort& inner, const Clock& clock, std::ostream* trace)
    : m_inner(inner), m_clock(clock), m_trace(trace), m_start(clock.now()) {
    // A receive handler writes a whole frame before it returns: that is
    // where a frame ends.
    m_inner.setDataReceivedHandler([this] {
        notifyDataReceived();
        flushTrace();
    });
    m_inner.setPortLostHandler([this](const SerialError& error) {
        flushTrace();
        notifyPortLost(error);
    });
}

TracedPort::~TracedPort() {
    m_inner.setDataReceivedHandler(nullptr);
    m_inner.setPortLostHandler(nullptr);
}

void TracedPort::close() {
    flushTrace();
    m_inner.close();
}

void TracedPort::closeWhenSent(ClosedHandler done) {
    flushTrace();
    m_inner.closeWhenSent(std::move(done));
}

void TracedPort::write(ByteView bytes) {
    m_inner.write(bytes);
    m_bytesWritten += bytes.size();
    if (m_trace == nullptr || bytes.empty())
        return;
    if (m_pendingOut.empty())
        m_pendingSince = m_clock.now();
    m_pendingOut.insert(m_pendingOut.end(), bytes.begin(), bytes.end());
}

Bytes TracedPort::readAll() {
    flushTrace();
    Bytes received = m_inner.readAll();
    if (m_trace != nullptr && !received.empty())
        *m_trace << formatTraceLine(m_clock.now() - m_start, '<', received) << std::endl;
    return received;
}

void TracedPort::flushTrace() {
    if (m_trace == nullptr || m_pendingOut.empty())
        return;
    *m_trace << formatTraceLine(m_pendingSince - m_start, '>', m_pendingOut) << std::endl;
    m_pendingOut.clear();
}

}  // namespace oxu::cli
