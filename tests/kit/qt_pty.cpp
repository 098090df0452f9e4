#include "tests/kit/qt_pty.h"

#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace oxu::testkit {

Pty::Pty() : m_ends(kit::openRawPty(kit::MasterMode::NonBlocking)) {}

Pty::~Pty() {
    closeMaster();
    ::close(m_ends.slave);
}

void Pty::closeMaster() {
    if (m_ends.master >= 0)
        ::close(m_ends.master);
    m_ends.master = -1;
}

void Pty::send(ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(m_ends.master, bytes.data() + done, bytes.size() - done);
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
        const ssize_t got = ::read(m_ends.master, chunk, wanted);
        if (got > 0) {
            received.insert(received.end(), chunk, chunk + got);
            continue;
        }
        pollfd fd{m_ends.master, POLLIN, 0};
        ::poll(&fd, 1, 5);
    }
    return received;
}

Bytes Pty::receiveAvailable() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    Bytes received;
    std::uint8_t chunk[4096];
    ssize_t got;
    while ((got = ::read(m_ends.master, chunk, sizeof chunk)) > 0)
        received.insert(received.end(), chunk, chunk + got);
    return received;
}

termios Pty::slaveSettings() const {
    // On the master, TCGETS reads the settings of the slave end.
    termios settings{};
    ::tcgetattr(m_ends.master, &settings);
    return settings;
}

PortVariable::PortVariable(int number, const std::string& path)
    : m_name("OXU_COM" + std::to_string(number)) {
    ::setenv(m_name.c_str(), path.c_str(), 1);
}

PortVariable::~PortVariable() {
    ::unsetenv(m_name.c_str());
}

}  // namespace oxu::testkit
