#include "pty.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <stdexcept>

namespace oxu::test {

Pty::Pty() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    m_slavePath = name;
    termios settings{};
    ::tcgetattr(m_master, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(m_master, TCSANOW, &settings);
}

Pty::~Pty() {
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void Pty::writeMaster(ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw std::runtime_error("write to pty master failed");
        done += static_cast<std::size_t>(written);
    }
}

Bytes Pty::readMaster(std::size_t count, std::chrono::milliseconds timeout) {
    Bytes received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
        pollfd ready{m_master, POLLIN, 0};
        if (::poll(&ready, 1, 5) <= 0 || !(ready.revents & POLLIN))
            continue;
        std::uint8_t chunk[4096];
        ssize_t got = ::read(m_master, chunk, std::min(sizeof chunk, count - received.size()));
        if (got > 0)
            received.insert(received.end(), chunk, chunk + got);
    }
    return received;
}

void Pty::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

}  // namespace oxu::test
