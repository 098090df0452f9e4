#pragma once

// A serial port wrapped to count the bytes sent and, on request, dump every
// frame on the wire. The update writes a page one byte at a time; the dump
// gathers those writes into one line per frame.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "protocol/bytes.h"
#include "protocol/clock.h"
#include "protocol/serial_port.h"

namespace oxu::cli {

// One dump line: "[   1.234567] > AA 04 00 AE  (4 bytes)". '>' is sent to
// the device, '<' received from it; time is seconds since the start.
std::string formatTraceLine(std::chrono::microseconds sinceStart, char direction, ByteView bytes);

class TracedPort final : public SerialPort {
public:
    // Forwards everything to inner, which must outlive this object. With a
    // trace stream, dumps the traffic there, timed by clock from construction.
    TracedPort(SerialPort& inner, const Clock& clock, std::ostream* trace = nullptr);
    ~TracedPort() override;
    TracedPort(const TracedPort&) = delete;
    TracedPort& operator=(const TracedPort&) = delete;

    bool isOpen() const override { return m_inner.isOpen(); }
    // Dumps what is still gathered, then closes the inner port.
    void close() override;
    // The same, with the inner port's own close for a shared event loop.
    void closeWhenSent(ClosedHandler done) override;
    void setPortNumber(int number) override { m_inner.setPortNumber(number); }
    void setBaudRate(int baud) override { m_inner.setBaudRate(baud); }
    void open() override { m_inner.open(); }
    // Counts and gathers the bytes once the inner port has taken them.
    void write(ByteView bytes) override;
    // Dumps the gathered outgoing bytes first, so the dump keeps wire order.
    Bytes readAll() override;
    std::string describe() const override { return m_inner.describe(); }

    // Bytes the inner port has accepted since construction.
    std::uint64_t bytesWritten() const { return m_bytesWritten; }
    // Dumps the outgoing bytes gathered since the last dump as one line.
    void flushTrace();

private:
    SerialPort& m_inner;
    const Clock& m_clock;
    std::ostream* m_trace;
    std::chrono::microseconds m_start;
    std::uint64_t m_bytesWritten = 0;
    Bytes m_pendingOut;
    std::chrono::microseconds m_pendingSince{0};  // time of the first gathered byte
};

}  // namespace oxu::cli
