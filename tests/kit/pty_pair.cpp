#include "tests/kit/pty_pair.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace oxu::testkit {

PtyPair::PtyPair() : m_ends(kit::openRawPty()) {}

PtyPair::~PtyPair() {
    ::close(m_ends.master);
    ::close(m_ends.slave);
}

void PtyPair::writeDeviceEnd(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(m_ends.master, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            throw std::runtime_error(std::string("write to pty: ") + std::strerror(errno));
        done += static_cast<std::size_t>(put);
    }
}

std::string PtyPair::readDeviceEnd(std::size_t count, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::string received;
    while (received.size() < count) {
        // One reading of the clock: a negative wait would be no limit to poll().
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= left.zero())
            break;
        pollfd fd{m_ends.master, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[512];
        const ssize_t got = ::read(m_ends.master, buffer, sizeof buffer);
        if (got > 0)
            received.append(buffer, static_cast<std::size_t>(got));
        else if (got < 0 && errno != EINTR && errno != EAGAIN)
            break;
    }
    return received;
}

}  // namespace oxu::testkit
