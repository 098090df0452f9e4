#pragma once

// A pseudo-terminal for the serial tests: the test holds the master end and
// plays the device; the port under test opens the slave by its path.

#include <chrono>
#include <string>

#include "protocol/bytes.h"

namespace oxu::test {

class Pty {
public:
    // Opens a pty with both ends in raw mode, so no byte is translated.
    // Throws std::runtime_error when the system has no pty to give.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return m_master; }
    int slave() const { return m_slave; }
    const std::string& slavePath() const { return m_slavePath; }

    // Writes all bytes to the master end (the device sends them).
    void writeMaster(ByteView bytes);

    // Reads from the master end until count bytes arrived or timeout passed,
    // running Qt's event loop meanwhile so the port under test can send.
    Bytes readMaster(std::size_t count, std::chrono::milliseconds timeout);

    // The device end goes away: the port under test sees a hang-up.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

}  // namespace oxu::test
