#include "serial/line_control.h"

#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace oxu {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr long long kBitsPerByte = 10;  // start, 8 data, stop

std::string systemText(int error) {
    return std::strerror(error);
}

// The serial flags requestLowLatency() found on a line it changed, where a
// signal handler can reach them: a slot is taken by storing its descriptor
// last and freed by clearing it, so the handler never sees half a slot.
struct SavedFlags {
    std::atomic<int> fd{-1};
    serial_struct serial{};
};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// One for each port a program can have open at once.
SavedFlags g_savedFlags[16];

void saveFlags(int fd, const serial_struct& serial) {
    for (SavedFlags& slot : g_savedFlags) {
        if (slot.fd.load() < 0) {
            slot.serial = serial;
            slot.fd.store(fd);
            return;
        }
    }
}

void forgetFlags(int fd) {
    for (SavedFlags& slot : g_savedFlags) {
        if (slot.fd.load() == fd)
            slot.fd.store(-1);
    }
}

void restoreFlagsAndEnd(int signal) {
    restoreSavedLineFlags();
    // The handler was reset as it ran (SA_RESETHAND): once it returns, the
    // signal raised again ends the program as it would have at first.
    ::raise(signal);
}

}  // namespace

int lowerRequestToSend(int fd) {
    const int rts = TIOCM_RTS;
    return ::ioctl(fd, TIOCMBIC, &rts) == 0 ? 0 : errno;
}

LowLatencyResult requestLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return {LowLatency::NotOffered, errno};
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0)
        return {LowLatency::AlreadySet, 0};
    const serial_struct found = serial;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0)
        return {LowLatency::Refused, errno};
    // Some drivers take the call and drop the flag; only one that kept it
    // needs it cleared at close.
    serial_struct check{};
    if (::ioctl(fd, TIOCGSERIAL, &check) != 0 || (check.flags & ASYNC_LOW_LATENCY) == 0)
        return {LowLatency::NotOffered, 0};
    saveFlags(fd, found);
    return {LowLatency::Set, 0};
}

int restoreLowLatency(int fd) {
    // Read again rather than write back what open found: Qt itself may have
    // changed other flags since (it clears a custom speed at open).
    serial_struct serial{};
    int error = 0;
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        error = errno;
    } else if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
        serial.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
        error = ::ioctl(fd, TIOCSSERIAL, &serial) == 0 ? 0 : errno;
    }
    // Forgotten only now: a program ended in between still puts them back.
    forgetFlags(fd);
    return error;
}

void restoreSavedLineFlags() noexcept {
    const int savedErrno = errno;
    for (SavedFlags& slot : g_savedFlags) {
        const int fd = slot.fd.load();
        if (fd >= 0)
            ::ioctl(fd, TIOCSSERIAL, &slot.serial);
    }
    errno = savedErrno;
}

void restoreLineFlagsOnTermination() {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
            (current.sa_flags & SA_SIGINFO) != 0)
            continue;
        struct sigaction action {};
        action.sa_handler = restoreFlagsAndEnd;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &action, nullptr);
    }
}

std::string describeLowLatency(const LowLatencyResult& result) {
    switch (result.outcome) {
        case LowLatency::NotTried:
            break;
        case LowLatency::Set:
            return "low latency: set while the port is open (the driver passes received bytes on "
                   "at once), cleared again at close";
        case LowLatency::AlreadySet:
            return "low latency: already set; left as it is";
        case LowLatency::Refused:
            return "low latency: refused by the driver (" + systemText(result.error) +
                   "); the adapter may hold received bytes back for up to 16 ms";
        case LowLatency::NotOffered:
            if (result.error == 0)
                return "low latency: not offered (the driver ignores the flag)";
            return "low latency: not offered (the driver has no serial flags: " +
                   systemText(result.error) + ")";
    }
    return "low latency: not checked, the port did not open";
}

milliseconds lineTime(std::size_t bytes, int baud) {
    if (baud <= 0)
        return milliseconds(0);
    const long long bits = static_cast<long long>(bytes) * kBitsPerByte * 1000;
    return milliseconds((bits + baud - 1) / baud);
}

milliseconds drainTimeLimit(std::size_t queuedBytes, int baud) {
    return lineTime(queuedBytes, baud) + kDrainMargin;
}

int queuedOutput(int fd) {
    int count = 0;
    return ::ioctl(fd, TIOCOUTQ, &count) == 0 ? count : -1;
}

bool lineStillThere(int fd) {
    pollfd line{fd, POLLOUT, 0};
    if (::poll(&line, 1, 0) < 0 || (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return false;
    return queuedOutput(fd) >= 0;
}

DriverDrain::DriverDrain(int fd, int baud) : m_fd(fd), m_start(steady_clock::now()) {
    const int held = queuedOutput(fd);
    const std::size_t bytes = held > 0 ? static_cast<std::size_t>(held) : 0;
    // The driver's count falls as it hands bytes to the adapter, before they
    // are on the wire; the old settings must not come back before the line
    // can have carried them.
    m_earliest = m_start + lineTime(bytes, baud);
    m_deadline = m_start + drainTimeLimit(bytes, baud);
}

std::optional<DrainOutcome> DriverDrain::look() {
    using Result = DrainOutcome::Result;
    const int left = queuedOutput(m_fd);
    if (left < 0)
        return DrainOutcome{Result::LineFailed,
                            "the line failed while sending (" + systemText(errno) + ")"};
    const Time now = steady_clock::now();
    if (left == 0 && now >= m_earliest)
        return DrainOutcome{};
    if (now < m_deadline)
        return std::nullopt;
    // Past the line time and the margin the adapter is not sending: what it
    // still holds would only go out later, on whatever line settings the
    // port is left with, and would hold up the system's own close.
    ::tcflush(m_fd, TCOFLUSH);
    const auto waited = std::chrono::duration_cast<milliseconds>(now - m_start);
    return DrainOutcome{Result::Stalled,
                        std::to_string(left) + " bytes were still waiting to be sent after " +
                            std::to_string(waited.count()) + " ms; the adapter stopped sending"};
}

milliseconds DriverDrain::untilNextLook() const {
    const Time now = steady_clock::now();
    const Time next = std::min(std::max(now + kDrainPollInterval, m_earliest), m_deadline);
    return std::max(std::chrono::ceil<milliseconds>(next - now), milliseconds(0));
}

DrainOutcome waitUntilSent(int fd, int baud) {
    DriverDrain drain(fd, baud);
    for (;;) {
        if (std::optional<DrainOutcome> outcome = drain.look())
            return *outcome;
        std::this_thread::sleep_for(drain.untilNextLook());
    }
}

}  // namespace oxu
