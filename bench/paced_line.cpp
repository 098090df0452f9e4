#include "bench/paced_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include "kit/pty.h"

namespace oxu::bench {
namespace {

using Nanos = std::chrono::nanoseconds;

constexpr long kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

Nanos monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return Nanos(static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec);
}

std::string describeErrno(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

// One direction of the line: bytes queued with the time each finishes
// crossing it.
struct Lane {
    struct Byte {
        std::uint8_t value;
        Nanos due;
    };
    int to = -1;
    std::deque<Byte> queue;
    Nanos lineFree{0};  // when the line finishes the bytes already queued
    std::uint64_t delivered = 0;

    void accept(const std::uint8_t* bytes, std::size_t count, Nanos arrival, Nanos byteTime) {
        for (std::size_t i = 0; i < count; ++i) {
            lineFree = std::max(arrival, lineFree) + byteTime;
            queue.push_back(Byte{bytes[i], lineFree});
        }
    }

    // Writes every byte that is due by now. Returns false when the far end
    // is gone. Bytes the far end cannot take yet stay queued.
    bool deliver(Nanos now, Nanos& lastDelivery) {
        std::vector<std::uint8_t> ready;
        for (const Byte& byte : queue) {
            if (byte.due > now)
                break;
            ready.push_back(byte.value);
        }
        if (ready.empty())
            return true;
        const ssize_t wrote = ::write(to, ready.data(), ready.size());
        if (wrote < 0)
            return errno == EAGAIN || errno == EINTR;
        queue.erase(queue.begin(), queue.begin() + wrote);
        delivered += static_cast<std::uint64_t>(wrote);
        lastDelivery = monotonicNow();
        return true;
    }

    Nanos nextDue() const { return queue.empty() ? Nanos::max() : queue.front().due; }
};

}  // namespace

Nanos PacedLine::byteTime(long baud) {
    return Nanos(kBitsPerByte * 1'000'000'000LL / baud);
}

PacedLine::PacedLine(const std::string& devicePath, long baud) : m_byteTime(byteTime(baud)) {
    if (baud <= 0)
        throw std::runtime_error("The paced line needs a positive baud rate, not " +
                                 std::to_string(baud));
    const kit::PtyEnds program = kit::openRawPty(kit::MasterMode::NonBlocking);
    m_master = program.master;
    m_programSide = program.slave;
    m_programPath = program.slavePath;
    m_device = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    m_stopEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The device's bytes must cross unchanged: no echo, no newline mapping.
    if (m_device < 0 || m_stopEvent < 0 || !kit::makeRaw(m_device, B38400)) {
        const int error = errno;
        for (int fd : {m_master, m_programSide, m_device, m_stopEvent}) {
            if (fd >= 0)
                ::close(fd);
        }
        throw std::runtime_error(
            describeErrno("Cannot open the device's terminal " + devicePath, error));
    }
    m_thread = std::thread([this] { carry(); });
}

PacedLine::~PacedLine() {
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t wrote = ::write(m_stopEvent, &one, sizeof one);
        m_thread.join();
    }
    for (int fd : {m_master, m_programSide, m_device, m_stopEvent}) {
        if (fd >= 0)
            ::close(fd);
    }
}

LineReport PacedLine::finish(std::chrono::milliseconds timeout) {
    const bool ended = m_ended.get_future().wait_for(timeout) == std::future_status::ready;
    if (m_thread.joinable()) {
        if (!ended) {
            const std::uint64_t one = 1;
            [[maybe_unused]] ssize_t wrote = ::write(m_stopEvent, &one, sizeof one);
        }
        m_thread.join();
    }
    if (!ended && m_report.failure.empty())
        m_report.failure = "the program did not close " + m_programPath + " within " +
                           std::to_string(timeout.count()) + " ms";
    return m_report;
}

void PacedLine::carry() {
    // A late wake-up delays the bytes that follow; the default 50 us slack
    // would add up to a visible share of the line time.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    Lane toDevice;
    toDevice.to = m_device;
    Lane toProgram;
    toProgram.to = m_master;
    Nanos start{0};
    Nanos lastDelivery{0};
    bool programSpoke = false;
    bool programOpen = true;

    const auto fail = [this](const std::string& why) {
        if (m_report.failure.empty())
            m_report.failure = why;
    };

    for (;;) {
        const Nanos now = monotonicNow();
        if (!toDevice.deliver(now, lastDelivery)) {
            fail(describeErrno("Cannot write to the device's terminal", errno));
            break;
        }
        if (programOpen && !toProgram.deliver(now, lastDelivery)) {
            fail(describeErrno("Cannot write to " + m_programPath, errno));
            break;
        }
        if (!programOpen && toDevice.queue.empty())
            break;

        const Nanos nextDue =
            std::min(toDevice.nextDue(), programOpen ? toProgram.nextDue() : Nanos::max());
        timespec wait{};
        const timespec* waitPointer = nullptr;
        if (nextDue != Nanos::max()) {
            const Nanos left = std::max(nextDue - monotonicNow(), Nanos(0));
            wait.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000LL);
            wait.tv_nsec = static_cast<long>(left.count() % 1'000'000'000LL);
            waitPointer = &wait;
        }
        pollfd watched[3] = {{m_stopEvent, POLLIN, 0},
                             {m_device, POLLIN, 0},
                             {programOpen ? m_master : -1, POLLIN, 0}};
        const int ready = ::ppoll(watched, 3, waitPointer, nullptr);
        if (ready < 0 && errno != EINTR) {
            fail(describeErrno("Cannot wait for the line", errno));
            break;
        }
        if (ready <= 0)
            continue;
        if (watched[0].revents != 0)
            break;

        std::uint8_t chunk[4096];
        if (watched[2].revents != 0) {
            const ssize_t got = ::read(m_master, chunk, sizeof chunk);
            if (got > 0) {
                const Nanos arrival = monotonicNow();
                if (!programSpoke) {
                    programSpoke = true;
                    start = arrival;
                    // From now on the program's close shows as a hang-up on
                    // our end, which it cannot while we hold its side open.
                    ::close(m_programSide);
                    m_programSide = -1;
                }
                toDevice.accept(chunk, static_cast<std::size_t>(got), arrival, m_byteTime);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                programOpen = false;
            }
        }
        if (watched[1].revents != 0) {
            const ssize_t got = ::read(m_device, chunk, sizeof chunk);
            if (got > 0) {
                toProgram.accept(chunk, static_cast<std::size_t>(got), monotonicNow(), m_byteTime);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                fail("the device closed its terminal before the program closed " + m_programPath);
                break;
            }
        }
    }

    // The device learns that the port closed when its terminal closes.
    ::close(m_device);
    m_device = -1;
    m_report.bytesToDevice = toDevice.delivered;
    m_report.bytesToProgram = toProgram.delivered;
    if (programSpoke) {
        m_report.busy = lastDelivery - start;
        m_report.firstByteIn = start;
        m_report.lastByteOut = lastDelivery;
        const double lineTime = static_cast<double>(toDevice.delivered + toProgram.delivered) *
                                static_cast<double>(m_byteTime.count());
        if (lineTime > 0)
            m_report.ratio = static_cast<double>(m_report.busy.count()) / lineTime;
    }
    timespec cpu{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0)
        m_report.cpu = Nanos(static_cast<long long>(cpu.tv_sec) * 1'000'000'000LL + cpu.tv_nsec);
    m_ended.set_value();
}

}  // namespace oxu::bench
