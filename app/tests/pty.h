#pragma once

// A pseudo-terminal playing the device: the test holds the master end, the
// window's port opens the slave by its path (given through OXU_COM<N>).

#include <termios.h>

#include <chrono>
#include <string>

#include "protocol/bytes.h"

namespace oxu::testing {

class Pty {
public:
    // Opens a pty in raw mode. Throws std::runtime_error when none is left.
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return m_slavePath; }
    int master() const { return m_master; }

    // The device sends bytes.
    void send(ByteView bytes);
    void send(std::initializer_list<std::uint8_t> bytes) { send(Bytes(bytes)); }

    // Reads until count bytes arrived or timeout passed, running Qt's event
    // loop meanwhile so that the window can send.
    Bytes receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Whatever has arrived by now, after letting pending events run.
    Bytes receiveAvailable();

    // The line settings the port has put on the slave end right now.
    termios slaveSettings() const;

private:
    int m_master = -1;
    int m_slave = -1;  // held so the master never sees a hang-up between opens
    std::string m_slavePath;
};

// Sets OXU_COM<number> to path for the lifetime of the object.
class PortVariable {
public:
    PortVariable(int number, const std::string& path);
    ~PortVariable();

private:
    std::string m_name;
};

}  // namespace oxu::testing
