#pragma once

// The device's UART, put in front of its end of the line. A pseudo-terminal
// has no speed: bytes cross it as fast as they are written, so a program
// would finish an update in a fraction of the time a real line takes. With a
// UartLine the device takes the program's bytes no sooner than a line at the
// device's baud, 8N1, carries them, back to back while they queue. And when
// the program's end is set to another speed, each side hears what a UART
// sampling at its own rate makes of the other's bits: garbage, as on a real
// line, so nothing the program can use comes back.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "device/line.h"

namespace oxu::sim {

// Start bit, 8 data bits, stop bit.
inline constexpr int kBitsPerByte = 10;

// Garbage heard at most for each byte sent, however far apart the rates: a
// receiver much faster than the sender hears little but breaks.
inline constexpr std::size_t kMaxHeardPerByte = 16;

// The time one byte occupies a line at baud (above 0).
std::chrono::nanoseconds lineByteTime(long baud);

// What a receiver at heardBaud makes of `sent`, sent back to back at
// sentBaud from an idle line, both ends set to 8N1. The receiver waits for
// the line to go low, takes it for a start bit if it is still low half a bit
// later, samples the 8 data bits (lowest first) and the stop bit in their
// middles at its own rate, and looks for the next start bit from the middle
// of the stop bit. A byte whose stop bit reads low (a framing error, or a
// break) is read as 00, as a Linux serial port in raw mode delivers it. The
// same rate gives `sent` back; a rate of 0 or less carries nothing.
Bytes hearBytes(ByteView sent, long sentBaud, long heardBaud);

// The rule for a line whose two ends disagree: when the device runs at
// deviceBaud and the program's settings are known and at another speed,
// why the device hears garbage ("the program's line is at 9600 baud, the
// device's at 38400: each hears the other as garbage"); nothing otherwise.
std::optional<std::string> describeSpeedMismatch(const std::optional<LineSettings>& program,
                                                 std::optional<long> deviceBaud);

// Bytes crossing a line at a fixed rate: each arrives one byte time after
// the one before it, or one byte time after it entered the line when the
// line was idle by then.
class LinePace {
public:
    explicit LinePace(std::chrono::nanoseconds byteTime) : m_byteTime(byteTime) {}

    // Puts bytes on the line at `entered`.
    void accept(ByteView bytes, std::chrono::nanoseconds entered);

    // Appends every byte that has arrived by `now`; returns how many.
    std::size_t takeArrived(Bytes& into, std::chrono::nanoseconds now);

    // When the next byte arrives; nothing when the line is empty.
    std::optional<std::chrono::nanoseconds> nextArrival() const;

    // When the last byte now on the line arrives; nothing when it is empty.
    std::optional<std::chrono::nanoseconds> lastArrival() const;

    void clear() { m_crossing.clear(); }

private:
    struct Crossing {
        std::uint8_t value;
        std::chrono::nanoseconds arrival;
    };
    std::chrono::nanoseconds m_byteTime;
    std::chrono::nanoseconds m_lineFree{0};  // when the bytes on the line have all arrived
    std::deque<Crossing> m_crossing;
};

class UartLine final : public Line {
public:
    // A UART at baud in front of `wire`, which must outlive it.
    UartLine(Line& wire, long baud);

    // The program's bytes as they arrive at the device's baud, handed over
    // once the bytes on the line when the wait began have all arrived (so a
    // frame costs a wake-up or two, not one a byte), or at the timeout with
    // those that have. The wire's close is reported once every byte on the
    // way has arrived.
    ReadStatus read(Bytes& into, std::chrono::microseconds timeout) override;
    // Passes the device's bytes on, as the program hears them.
    void write(ByteView data) override;

    std::optional<LineSettings> awaitSettings(std::chrono::microseconds timeout) override;
    std::optional<LineSettings> currentSettings() const override {
        return m_wire.currentSettings();
    }
    void releaseHold() override { m_wire.releaseHold(); }
    void hangUp() override;
    bool pause(std::chrono::microseconds duration) override { return m_wire.pause(duration); }
    std::chrono::microseconds now() const override { return m_wire.now(); }

private:
    // The program's speed when it is known and not the device's. Known
    // from the settings its end has now or, once they can no longer be read
    // or say speed 0 (a program that wrote and closed at once has its old
    // ones back), from the last ones seen.
    std::optional<long> mismatchedBaud();
    // Takes what the wire holds now (without waiting when timeout is 0).
    ReadStatus pull(std::chrono::microseconds timeout);

    Line& m_wire;
    long m_baud;
    LinePace m_pace;
    bool m_wireClosed = false;
    std::optional<LineSettings> m_programSettings;  // the last seen
};

}  // namespace oxu::sim
