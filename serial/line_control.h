#pragma once

// What the port asks of a serial line beyond Qt Serial Port's settings: RTS
// lowered, the driver's low-latency flag, and a final drain that survives
// signals. Linux calls on the port's open descriptor. A line may lack any of
// these (a pseudo-terminal has no modem-control lines and no serial flags;
// CDC-ACM and CH340 adapters have no latency timer): such a refusal is no
// error of the port, and nothing here reports one to the operator.

#include <chrono>
#include <cstddef>
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
inline constexpr std::chrono::milliseconds kDrainMargin{500};

// Lowers RTS on the line behind fd (TIOCMBIC). Returns 0, or the errno of a
// line that refused (ENOTTY on a pseudo-terminal); never throws.
int lowerRequestToSend(int fd);

// Reads the line's serial flags (TIOCGSERIAL) and, where ASYNC_LOW_LATENCY
// is off, sets it (TIOCSSERIAL) and reads it back. An FTDI adapter then
// passes received bytes on at once instead of holding them up to 16 ms.
// Never throws; a driver that refuses leaves the line as it was.
LowLatencyResult requestLowLatency(int fd);

// Clears ASYNC_LOW_LATENCY again, touching no other flag; for a line where
// requestLowLatency() returned Set. Returns 0 or the errno of the failure.
int restoreLowLatency(int fd);

// What became of the request, in the one wording of the trace and the port
// check: "low latency: already set; left as it is".
std::string describeLowLatency(const LowLatencyResult& result);

// How long the final drain may take: the line time of queuedBytes at baud
// (10 bits a byte: start, 8 data, stop), rounded up, plus kDrainMargin.
std::chrono::milliseconds drainTimeLimit(std::size_t queuedBytes, int baud);

// Waits until the driver has sent every byte it holds (tcdrain). A signal
// that interrupts the wait (EINTR) does not end it: it is retried until
// drainTimeLimit() of the bytes the driver held at the start (TIOCOUTQ) at
// baud has passed. Returns nothing when the line is empty, otherwise why not
// ("the line failed while sending (...)", "... bytes were still waiting ...").
std::string waitUntilSent(int fd, int baud);

}  // namespace oxu
