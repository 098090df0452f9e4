#include "device/pty_line.h"

#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "kit/pty.h"

namespace oxu::sim {

volatile std::sig_atomic_t g_terminationSignal = 0;

namespace {

using std::chrono::microseconds;

std::string describeErrno(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

timespec toTimespec(microseconds duration) {
    return timespec{static_cast<time_t>(duration.count() / 1'000'000),
                    static_cast<long>(duration.count() % 1'000'000) * 1000};
}

}  // namespace

PtyLine::PtyLine(const sigset_t& waitMask) : m_waitMask(waitMask) {
    kit::PtyEnds ends;
    try {
        ends = kit::openRawPty(kit::MasterMode::NonBlocking);
    } catch (const std::runtime_error& error) {
        throw LineError(error.what());
    }
    m_master = ends.master;
    m_slave = ends.slave;
    m_slavePath = ends.slavePath;
    // The idle speed marks settings the program has not chosen (see kIdleBaud).
    if (!kit::makeRaw(m_master, B50)) {
        const int error = errno;
        close(m_master);
        close(m_slave);
        throw LineError(describeErrno("Cannot set " + m_slavePath + " to its idle speed", error));
    }
}

PtyLine::~PtyLine() {
    releaseOutput();
    if (m_openWatch >= 0)
        close(m_openWatch);
    if (m_slave >= 0)
        close(m_slave);
    if (m_master >= 0)
        close(m_master);
}

ReadStatus PtyLine::read(Bytes& into, microseconds timeout) {
    if (m_master < 0)
        return ReadStatus::Closed;
    const microseconds deadline = now() + timeout;
    for (;;) {
        std::uint8_t chunk[4096];
        const ssize_t got = ::read(m_master, chunk, sizeof chunk);
        if (got > 0) {
            into.insert(into.end(), chunk, chunk + got);
            // Take whatever else is already waiting, without waiting for more.
            for (ssize_t more; (more = ::read(m_master, chunk, sizeof chunk)) > 0;)
                into.insert(into.end(), chunk, chunk + more);
            return ReadStatus::Data;
        }
        // The master reads EIO once every slave is closed and all data is read.
        if (got == 0 || (got < 0 && errno == EIO))
            return ReadStatus::Closed;
        if (got < 0 && errno != EAGAIN && errno != EINTR)
            throw LineError(describeErrno("Cannot read from " + m_slavePath, errno));
        if (g_terminationSignal)
            return ReadStatus::Interrupted;

        pollfd watched{m_master, POLLIN, 0};
        timespec wait{};
        const timespec* waitPointer = nullptr;
        if (timeout >= microseconds(0)) {
            const microseconds left = deadline - now();
            if (left <= microseconds(0))
                return ReadStatus::Timeout;
            wait = toTimespec(left);
            waitPointer = &wait;
        }
        const int ready = ppoll(&watched, 1, waitPointer, &m_waitMask);
        if (ready < 0 && errno != EINTR)
            throw LineError(describeErrno("Cannot wait for " + m_slavePath, errno));
        if (g_terminationSignal)
            return ReadStatus::Interrupted;
        if (ready == 0)
            return ReadStatus::Timeout;
        // POLLHUP alone: the program closed the port. POLLIN with it: read first.
        if (ready > 0 && (watched.revents & (POLLHUP | POLLERR)) && !(watched.revents & POLLIN))
            return ReadStatus::Closed;
    }
}

void PtyLine::write(ByteView data) {
    if (m_master < 0)
        throw LineError("Cannot write to " + m_slavePath + ": the line was hung up");
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(m_master, data.data() + done, data.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0 && errno != EAGAIN)
            throw LineError(describeErrno("Cannot write to " + m_slavePath, errno));
        // The program is not reading and the line's buffer is full: wait for room.
        pollfd watched{m_master, POLLOUT, 0};
        if (ppoll(&watched, 1, nullptr, &m_waitMask) < 0 && errno != EINTR)
            throw LineError(describeErrno("Cannot wait to write to " + m_slavePath, errno));
        if (g_terminationSignal)
            throw LineError("interrupted by a signal while writing to " + m_slavePath);
    }
}

void PtyLine::holdOutputForSettings() {
    m_openWatch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_openWatch < 0 || inotify_add_watch(m_openWatch, m_slavePath.c_str(), IN_OPEN) < 0)
        throw LineError(describeErrno("Cannot watch " + m_slavePath + " for the program", errno));
    // Like a device sending XOFF: the program's bytes wait in its end, and
    // so does its close, which would restore the settings it chose.
    if (tcflow(m_slave, TCOOFF) != 0)
        throw LineError(describeErrno("Cannot hold the output of " + m_slavePath, errno));
    m_outputHeld = true;
}

void PtyLine::releaseOutput() {
    if (m_outputHeld && m_slave >= 0)
        tcflow(m_slave, TCOON);
    m_outputHeld = false;
}

std::optional<LineSettings> PtyLine::awaitSettings(microseconds timeout) {
    // After the program opens its end, how long it may take to configure it.
    constexpr microseconds kConfigureGrace = std::chrono::milliseconds(500);
    constexpr microseconds kConfigurePoll = std::chrono::milliseconds(1);
    if (!m_outputHeld)
        return currentSettings();
    const microseconds deadline = now() + timeout;
    std::optional<microseconds> openedAt;
    std::optional<LineSettings> seen;
    while (!g_terminationSignal) {
        seen = currentSettings();
        if (seen)
            break;
        const microseconds current = now();
        if (openedAt ? current - *openedAt >= kConfigureGrace
                     : timeout >= microseconds(0) && current >= deadline)
            break;
        pollfd watched[2] = {{m_openWatch, POLLIN, 0}, {m_master, POLLIN, 0}};
        // Settings are not announced: once the program is in, look every millisecond.
        const timespec wait = toTimespec(openedAt ? kConfigurePoll : deadline - current);
        const bool forever = !openedAt && timeout < microseconds(0);
        if (ppoll(watched, 2, forever ? nullptr : &wait, &m_waitMask) < 0 && errno != EINTR)
            break;
        if ((watched[0].revents & POLLIN) && !openedAt) {
            alignas(inotify_event) char events[4096];
            while (::read(m_openWatch, events, sizeof events) > 0) {
            }
            openedAt = now();
        }
        if (watched[1].revents & POLLIN) {
            seen = currentSettings();
            break;
        }
    }
    if (seen) {
        // Programs set speed, data bits, parity and stop bits in separate
        // calls; with the output still held, give the rest time to land.
        const timespec settle = toTimespec(std::chrono::milliseconds(10));
        ppoll(nullptr, 0, &settle, &m_waitMask);
        if (const std::optional<LineSettings> later = currentSettings())
            seen = later;
    }
    releaseOutput();
    return seen;
}

std::optional<LineSettings> PtyLine::currentSettings() const {
    std::optional<LineSettings> settings;
    if (m_master >= 0)
        settings = readLineSettings(m_master);
    if (settings && settings->baud == kIdleBaud)
        return std::nullopt;
    return settings;
}

void PtyLine::releaseHold() {
    if (m_slave >= 0) {
        close(m_slave);
        m_slave = -1;
    }
}

void PtyLine::hangUp() {
    releaseHold();
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

bool PtyLine::pause(microseconds duration) {
    const microseconds deadline = now() + duration;
    for (;;) {
        if (g_terminationSignal)
            return false;
        const microseconds left = deadline - now();
        if (left <= microseconds(0))
            return true;
        const timespec wait = toTimespec(left);
        ppoll(nullptr, 0, &wait, &m_waitMask);
    }
}

microseconds PtyLine::now() const {
    return std::chrono::duration_cast<microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

}  // namespace oxu::sim
