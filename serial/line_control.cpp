#include "serial/line_control.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

namespace oxu {
namespace {

constexpr long long kBitsPerByte = 10;  // start, 8 data, stop

// Bytes the driver still holds for sending, or -1 when it cannot say.
int queuedOutput(int fd) {
    int count = 0;
    return ::ioctl(fd, TIOCOUTQ, &count) == 0 ? count : -1;
}

std::string systemText(int error) {
    return std::strerror(error);
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
    serial.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &serial) != 0)
        return {LowLatency::Refused, errno};
    // Some drivers take the call and drop the flag; only one that kept it
    // needs it cleared at close.
    serial_struct check{};
    if (::ioctl(fd, TIOCGSERIAL, &check) != 0 || (check.flags & ASYNC_LOW_LATENCY) == 0)
        return {LowLatency::NotOffered, 0};
    return {LowLatency::Set, 0};
}

int restoreLowLatency(int fd) {
    // Read again rather than write back what open found: Qt itself may have
    // changed other flags since (it clears a custom speed at open).
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return errno;
    if ((serial.flags & ASYNC_LOW_LATENCY) == 0)
        return 0;
    serial.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0 ? 0 : errno;
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

std::chrono::milliseconds drainTimeLimit(std::size_t queuedBytes, int baud) {
    if (baud <= 0)
        return kDrainMargin;
    const long long bits = static_cast<long long>(queuedBytes) * kBitsPerByte * 1000;
    return std::chrono::milliseconds((bits + baud - 1) / baud) + kDrainMargin;
}

std::string waitUntilSent(int fd, int baud) {
    const int held = queuedOutput(fd);
    const std::chrono::milliseconds limit =
        drainTimeLimit(held > 0 ? static_cast<std::size_t>(held) : 0, baud);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (::tcdrain(fd) == 0)
            return {};
        if (errno != EINTR)
            return "the line failed while sending (" + systemText(errno) + ")";
        // A signal (Ctrl-C, for one) cut the wait short, not the sending:
        // closing now would put the old line settings on bytes still going out.
        if (std::chrono::steady_clock::now() >= deadline)
            break;
    }
    const int left = queuedOutput(fd);
    if (left == 0)
        return {};
    const std::string waited = std::to_string(limit.count()) + " ms";
    if (left < 0)
        return "the wait for the last bytes to leave was interrupted for " + waited;
    return std::to_string(left) + " bytes were still waiting to be sent after " + waited;
}

}  // namespace oxu
