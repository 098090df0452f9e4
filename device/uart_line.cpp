#include "device/uart_line.h"

#include <algorithm>

namespace oxu::sim {

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

nanoseconds toNanoseconds(microseconds time) {
    return std::chrono::duration_cast<nanoseconds>(time);
}

// Rounded up, so that a wait ends with the byte arrived rather than just before.
microseconds toWait(nanoseconds span) {
    return std::chrono::ceil<microseconds>(std::max(span, nanoseconds(0)));
}

}  // namespace

nanoseconds lineByteTime(long baud) {
    return nanoseconds(kBitsPerByte * 1'000'000'000LL / baud);
}

Bytes hearBytes(ByteView sent, long sentBaud, long heardBaud) {
    if (sentBaud <= 0 || heardBaud <= 0)
        return {};
    if (sentBaud == heardBaud)
        return Bytes(sent.begin(), sent.end());
    // Time in units that make both bit lengths whole: a sent bit lasts
    // 2 x heardBaud units, a heard one 2 x sentBaud, half a heard bit sentBaud.
    const long long sentBit = 2LL * heardBaud;
    const long long halfBit = sentBaud;
    const long long end = static_cast<long long>(sent.size()) * kBitsPerByte * sentBit;
    // The line's level at time t: high while idle, then per byte a low start
    // bit, the data bits lowest first and a high stop bit.
    const auto high = [&](long long t) {
        if (t < 0 || t >= end)
            return true;
        const long long bit = t / sentBit;
        const long long position = bit % kBitsPerByte;
        if (position == 0)
            return false;
        if (position == kBitsPerByte - 1)
            return true;
        return ((sent[static_cast<std::size_t>(bit / kBitsPerByte)] >> (position - 1)) & 1) != 0;
    };

    Bytes heard;
    const std::size_t most = sent.size() * kMaxHeardPerByte;
    long long t = 0;
    while (heard.size() < most) {
        // The first moment from t on with the line low; it only changes
        // level where a sent bit begins.
        long long start = t;
        while (start < end && high(start))
            start = (start / sentBit + 1) * sentBit;
        if (start >= end)
            break;
        if (high(start + halfBit)) {  // too short for a start bit: a glitch
            t = start + halfBit;
            continue;
        }
        std::uint8_t byte = 0;
        for (int i = 0; i < 8; ++i) {
            if (high(start + (3 + 2 * i) * halfBit))
                byte |= static_cast<std::uint8_t>(1 << i);
        }
        const long long stopMiddle = start + (2 * kBitsPerByte - 1) * halfBit;
        heard.push_back(high(stopMiddle) ? byte : 0x00);
        t = stopMiddle;
    }
    return heard;
}

std::optional<std::string> describeSpeedMismatch(const std::optional<LineSettings>& program,
                                                 std::optional<long> deviceBaud) {
    if (!deviceBaud || !program || program->baud == *deviceBaud)
        return std::nullopt;
    return "the program's line is at " + std::to_string(program->baud) + " baud, the device's at " +
           std::to_string(*deviceBaud) + ": each hears the other as garbage";
}

void LinePace::accept(ByteView bytes, nanoseconds entered) {
    for (std::uint8_t value : bytes) {
        m_lineFree = std::max(m_lineFree, entered) + m_byteTime;
        m_crossing.push_back(Crossing{value, m_lineFree});
    }
}

std::size_t LinePace::takeArrived(Bytes& into, nanoseconds now) {
    std::size_t taken = 0;
    while (!m_crossing.empty() && m_crossing.front().arrival <= now) {
        into.push_back(m_crossing.front().value);
        m_crossing.pop_front();
        ++taken;
    }
    return taken;
}

std::optional<nanoseconds> LinePace::nextArrival() const {
    if (m_crossing.empty())
        return std::nullopt;
    return m_crossing.front().arrival;
}

std::optional<nanoseconds> LinePace::lastArrival() const {
    if (m_crossing.empty())
        return std::nullopt;
    return m_crossing.back().arrival;
}

UartLine::UartLine(Line& wire, long baud)
    : m_wire(wire), m_baud(baud), m_pace(lineByteTime(baud)) {}

std::optional<LineSettings> UartLine::awaitSettings(microseconds timeout) {
    const std::optional<LineSettings> settings = m_wire.awaitSettings(timeout);
    if (settings)
        m_programSettings = settings;
    return settings;
}

std::optional<long> UartLine::mismatchedBaud() {
    // Speed 0 is no speed: it asks to hang up, as some programs do on close.
    if (const std::optional<LineSettings> now = m_wire.currentSettings(); now && now->baud > 0)
        m_programSettings = now;
    if (m_programSettings && m_programSettings->baud != m_baud)
        return m_programSettings->baud;
    return std::nullopt;
}

ReadStatus UartLine::pull(microseconds timeout) {
    Bytes chunk;
    const ReadStatus status = m_wire.read(chunk, timeout);
    if (status == ReadStatus::Closed)
        m_wireClosed = true;
    if (chunk.empty())
        return status;
    // Stamped as it is taken: the device looks at the wire whenever it waits
    // for a byte, so what it finds has only just come.
    const nanoseconds entered = toNanoseconds(m_wire.now());
    if (const std::optional<long> program = mismatchedBaud())
        m_pace.accept(hearBytes(chunk, *program, m_baud), entered);
    else
        m_pace.accept(chunk, entered);
    return status;
}

ReadStatus UartLine::read(Bytes& into, microseconds timeout) {
    const microseconds deadline = m_wire.now() + timeout;
    // When to hand over: once the bytes on the line have arrived. Fixed once
    // known, so that a program that never stops sending cannot hold it off.
    constexpr nanoseconds kUnknown = nanoseconds::max();
    nanoseconds handOver = kUnknown;
    for (;;) {
        if (!m_wireClosed && pull(microseconds(0)) == ReadStatus::Interrupted)
            return ReadStatus::Interrupted;
        const microseconds now = m_wire.now();
        if (handOver == kUnknown)
            handOver = m_pace.lastArrival().value_or(kUnknown);
        const bool outOfTime = timeout >= microseconds(0) && deadline <= now;
        if (handOver <= toNanoseconds(now) || outOfTime) {
            if (m_pace.takeArrived(into, toNanoseconds(now)) > 0)
                return ReadStatus::Data;
            handOver = kUnknown;  // the line was emptied meanwhile (a hang-up)
        }
        if (m_wireClosed && !m_pace.nextArrival())
            return ReadStatus::Closed;
        if (outOfTime)
            return ReadStatus::Timeout;

        // Until the deadline or the hand-over, whichever comes first; with
        // neither, until the wire has more.
        microseconds wait = timeout >= microseconds(0) ? deadline - now : microseconds::max();
        if (handOver != kUnknown)
            wait = std::min(wait, toWait(handOver - toNanoseconds(now)));
        if (m_wireClosed) {
            // Nothing more comes: what is on the line arrives all the same.
            if (!m_wire.pause(wait))
                return ReadStatus::Interrupted;
        } else if (pull(wait == microseconds::max() ? kForever : wait) == ReadStatus::Interrupted) {
            return ReadStatus::Interrupted;
        }
    }
}

void UartLine::write(ByteView data) {
    if (const std::optional<long> program = mismatchedBaud()) {
        const Bytes heard = hearBytes(data, m_baud, *program);
        if (!heard.empty())
            m_wire.write(heard);
        return;
    }
    m_wire.write(data);
}

void UartLine::hangUp() {
    m_pace.clear();
    m_wire.hangUp();
}

}  // namespace oxu::sim
