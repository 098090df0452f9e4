#pragma once

// What the port asks of a serial line beyond Qt Serial Port's settings: RTS
// lowered, the driver's low-latency flag (put back even by a program that
// ends at once), and a final drain bounded by the line time of what is left.
// Linux calls on the port's open descriptor. A line may lack any of
// these (a pseudo-terminal has no modem-control lines and no serial flags;
// CDC-ACM and CH340 adapters have no latency timer): such a refusal is no
// error of the port, and nothing here reports one to the operator.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace oxu {

// What became of asking the line's driver for low latency at open.
enum class LowLatency {
    NotTried,    // no open has got that far
    Set,         // set at open; cleared again at close
    AlreadySet,  // the driver had it already; left as it was
    Refused,     // the driver has serial flags but would not set this one
    NotOffered,  // the driver has no serial flags, or ignores this one
};

struct LowLatencyResult {
    LowLatency outcome = LowLatency::NotTried;
    int error = 0;  // the errno of the failed call; 0 when none failed
    bool operator==(const LowLatencyResult&) const = default;
};

// Extra time the final drain may take beyond the line time of the bytes the
// driver holds: an adapter's own buffer, and a slow scheduler.
inline constexpr std::chrono::milliseconds kDrainMargin{200};

// The longest pause between two looks at what the driver still holds.
inline constexpr std::chrono::milliseconds kDrainPollInterval{4};

// Lowers RTS on the line behind fd (TIOCMBIC). Returns 0, or the errno of a
// line that refused (ENOTTY on a pseudo-terminal); never throws.
int lowerRequestToSend(int fd);

// Reads the line's serial flags (TIOCGSERIAL) and, where ASYNC_LOW_LATENCY
// is off, sets it (TIOCSSERIAL) and reads it back. An FTDI adapter then
// passes received bytes on at once instead of holding them up to 16 ms.
// Never throws; a driver that refuses leaves the line as it was. Where the
// flag was set, the flags found are kept for restoreSavedLineFlags() until
// restoreLowLatency() puts them back.
LowLatencyResult requestLowLatency(int fd);

// Clears ASYNC_LOW_LATENCY again, touching no other flag; for a line where
// requestLowLatency() returned Set. Returns 0 or the errno of the failure.
int restoreLowLatency(int fd);

// Puts back the serial flags that requestLowLatency() found on every line it
// changed and restoreLowLatency() has not yet restored: one TIOCSSERIAL each,
// no drain and no wait. For a program that ends at once, with its ports
// still open. Async-signal-safe.
void restoreSavedLineFlags() noexcept;

// Makes SIGTERM, SIGINT and SIGHUP, where they would end the program as it
// stands (the default action), call restoreSavedLineFlags() first; the
// program then ends by the same signal. For a program that has no orderly
// close of its own on those signals. Safe to call more than once.
void restoreLineFlagsOnTermination();

// What became of the request, in the one wording of the trace and the port
// check: "low latency: already set; left as it is".
std::string describeLowLatency(const LowLatencyResult& result);

// How long the line takes to carry bytes at baud (10 bits a byte: start, 8
// data, stop), rounded up to the millisecond; 0 when the rate is unknown.
std::chrono::milliseconds lineTime(std::size_t bytes, int baud);

// How long the final drain may take: lineTime() of queuedBytes plus
// kDrainMargin.
std::chrono::milliseconds drainTimeLimit(std::size_t queuedBytes, int baud);

// Bytes the driver of the line behind fd still holds for sending (TIOCOUTQ),
// or -1 (errno set) when it cannot say.
int queuedOutput(int fd);

// Whether the line behind fd is still there: no hang-up or error shows on it
// (poll) and its driver still answers TIOCOUTQ. A line that takes no more
// bytes for now (a device that stopped reading) is still there; an adapter
// that was unplugged, or a pseudo-terminal whose other end closed, is not.
bool lineStillThere(int fd);

// How a final drain ended.
struct DrainOutcome {
    enum class Result {
        Sent,        // the driver holds nothing any more
        Stalled,     // bytes were still held at the deadline; they were discarded
        LineFailed,  // the driver no longer answers (the line went away)
    };
    Result result = Result::Sent;
    // Why not, for people: "N bytes were still waiting to be sent after T
    // ms; the adapter stopped sending", "the line failed while sending (...)".
    std::string reason;
};

// The final drain of the line behind fd, taken one look at a time so that a
// caller can space the looks as suits it (a sleep, or a timer on an event
// loop): the wait for the driver to send what it held at the start, never
// longer than drainTimeLimit() of those bytes at baud. Nothing here blocks.
class DriverDrain {
public:
    DriverDrain(int fd, int baud);

    // Nothing while bytes are held and time remains. Otherwise the outcome:
    // Sent once the driver holds nothing and the held bytes' line time has
    // passed; Stalled at the deadline, after discarding what is left
    // (TCOFLUSH), so that the port can be released at once; LineFailed.
    std::optional<DrainOutcome> look();

    // How long to wait before the next look: at most kDrainPollInterval once
    // the held bytes' line time has passed, never past the deadline.
    std::chrono::milliseconds untilNextLook() const;

private:
    using Time = std::chrono::steady_clock::time_point;

    int m_fd;
    Time m_start;
    Time m_earliest;  // the held bytes cannot have left before this
    Time m_deadline;
};

// Waits for the driver to send what it holds: DriverDrain, sleeping between
// looks. A signal cuts a sleep short, never the wait.
DrainOutcome waitUntilSent(int fd, int baud);

}  // namespace oxu
