#pragma once

// A pseudo-terminal playing the device for tests of the Qt serial layer and
// the window: the test holds the master end, the port under test opens the
// slave by its path. Reads and writes run Qt's event loop meanwhile, so the
// port under test can answer.

#include <termios.h>

#include <chrono>
#include <initializer_list>
#include <string>

#include "kit/pty.h"
#include "protocol/bytes.h"

namespace oxu::testkit {

class Pty {
public:
    // Opens a pty with both ends raw, so no byte is translated, and the
    // master non-blocking. Throws std::runtime_error when the system has no
    // pty to give.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return m_ends.master; }
    // Held open so the master never sees a hang-up between the port's opens.
    int slave() const { return m_ends.slave; }
    const std::string& slavePath() const { return m_ends.slavePath; }

    // The device sends bytes (all of them).
    void send(ByteView bytes);
    void send(std::initializer_list<std::uint8_t> bytes) { send(Bytes(bytes)); }

    // Reads until count bytes arrived or timeout passed.
    Bytes receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Whatever has arrived by now, after letting pending events run.
    Bytes receiveAvailable();

    // The line settings the port has put on the slave end right now.
    termios slaveSettings() const;

    // The device end goes away: the port under test sees a hang-up.
    void closeMaster();

private:
    kit::PtyEnds m_ends;
};

// Sets OXU_COM<number> to path for the lifetime of the object.
class PortVariable {
public:
    PortVariable(int number, const std::string& path);
    ~PortVariable();
    PortVariable(const PortVariable&) = delete;
    PortVariable& operator=(const PortVariable&) = delete;

private:
    std::string m_name;
};

}  // namespace oxu::testkit
