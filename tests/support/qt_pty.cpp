#include "tests/support/qt_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace oxu::test {

Pty::Pty() {
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    m_slavePath = name;
    for (int fd : {m_master, m_slave}) {
        termios settings{};
        ::tcgetattr(fd, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(fd, TCSANOW, &settings);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
    closeMaster();
    ::close(m_slave);
}

void Pty::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void Pty::send(ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
        } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error(std::string("pty write: ") + std::strerror(errno));
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
}

Bytes Pty::receive(std::size_t count, std::chrono::milliseconds timeout) {
    Bytes received;
    QDeadlineTimer deadline(timeout);
    while (received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::uint8_t chunk[4096];
        const std::size_t wanted = std::min(sizeof chunk, count - received.size());
        const ssize_t got = ::read(m_master, chunk, wanted);
        if (got > 0) {
            received.insert(received.end(), chunk, chunk + got);
            continue;
        }
        pollfd fd{m_master, POLLIN, 0};
        ::poll(&fd, 1, 5);
    }
    return received;
}

Bytes Pty::receiveAvailable() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    Bytes received;
    std::uint8_t chunk[4096];
    ssize_t got;
    while ((got = ::read(m_master, chunk, sizeof chunk)) > 0)
        received.insert(received.end(), chunk, chunk + got);
    return received;
}

termios Pty::slaveSettings() const {
    // On the master, TCGETS reads the settings of the slave end.
    termios settings{};
    ::tcgetattr(m_master, &settings);
    return settings;
}

PortVariable::PortVariable(int number, const std::string& path)
    : m_name("OXU_COM" + std::to_string(number)) {
    ::setenv(m_name.c_str(), path.c_str(), 1);
}

PortVariable::~PortVariable() {
    ::unsetenv(m_name.c_str());
}

}  // namespace oxu::test
