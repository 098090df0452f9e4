#pragma once

// The simulated device's end of the serial line, as the session logic sees
// it. The real one is a pseudo-terminal (PtyLine); tests substitute a
// scripted program that answers in-process, with time moved by hand.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include "device/report.h"
#include "protocol/bytes.h"

namespace oxu::sim {

// A failing line operation. what() says what was attempted and why.
class LineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ReadStatus {
    Data,         // at least one byte was appended
    Timeout,      // nothing arrived in time
    Closed,       // the program closed its end of the line (nothing more will come)
    Interrupted,  // a termination signal arrived
};

class Line {
public:
    // Waits forever when the timeout is negative.
    static constexpr std::chrono::microseconds kForever{-1};

    virtual ~Line() = default;

    // Waits up to `timeout` for bytes from the program and appends every byte
    // already waiting to `into`. Never blocks longer than the timeout.
    virtual ReadStatus read(Bytes& into, std::chrono::microseconds timeout) = 0;

    // Writes all of data to the program in one write. Throws LineError.
    virtual void write(ByteView data) = 0;

    // Waits up to `timeout` for the program to open its end and configure
    // it, and returns the settings it chose. Nothing when it did not in time
    // or they cannot be read.
    virtual std::optional<LineSettings> awaitSettings(std::chrono::microseconds timeout) = 0;

    // The settings the program's end has now, without waiting. Nothing when
    // they cannot be read or the program has not chosen any.
    virtual std::optional<LineSettings> currentSettings() const = 0;

    // Called once the program is known to hold its end open: from then on a
    // close by the program is reported by read() as Closed.
    virtual void releaseHold() {}

    // Drops the line as an unplugged adapter does; the program's end sees a
    // hang-up. Nothing can be read or written afterwards.
    virtual void hangUp() = 0;

    // Waits for `duration`. Returns false when a termination signal cut it short.
    virtual bool pause(std::chrono::microseconds duration) = 0;

    // Monotonic time, for the report and the round-trip statistics.
    virtual std::chrono::microseconds now() const = 0;
};

}  // namespace oxu::sim
