#pragma once

#include <chrono>

namespace oxu {

class UpdateTransfer;

inline constexpr const char* kConnectionFailedText = "Connection Failed";
inline constexpr const char* kTransferInterruptedText = "Transfer Interrupted";

// Reports a silent device. Called on every tick of the window's 10 ms timer,
// which runs only while an update is watched: the first tick that finds
// nothing to watch (LastActivity at 0) stops it (WindowServices::stopTicking).
// While the update is watched (LastActivity non-zero) and more than a second
// has passed since the last start or receive, it stops watching and shows
// "Connection Failed" (nothing received since the start) or
// "Transfer Interrupted". Nothing else changes: a device that speaks again
// re-arms it. While a modal box or the file dialog is open it waits, still
// ticking, and checks again on the first tick after it closes. Reports ConnectionFailed or
// TransferInterrupted to the transfer's observer before the box opens.
class Watchdog {
public:
    static constexpr std::chrono::microseconds kSilenceLimit = std::chrono::seconds(1);

    explicit Watchdog(UpdateTransfer& transfer) : m_transfer(transfer) {}
    void tick();

private:
    UpdateTransfer& m_transfer;
};

}  // namespace oxu
