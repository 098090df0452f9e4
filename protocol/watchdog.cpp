#include "protocol/watchdog.h"

#include "protocol/update_transfer.h"

namespace oxu {

void Watchdog::tick() {
    WindowServices& window = m_transfer.window();
    if (m_transfer.LastActivity == std::chrono::microseconds(0)) {
        // Nothing to watch until the transfer arms the watch again, which
        // starts the tick again.
        window.stopTicking();
        return;
    }
    // Never stack a box on one of our own; the silence is judged again on
    // the first tick after it closes.
    if (window.modalOpen())
        return;
    const auto elapsed = m_transfer.clock().now() - m_transfer.LastActivity;
    if (elapsed <= kSilenceLimit)
        return;

    const bool neverAnswered = m_transfer.AwaitingFirstReply;
    // Stop watching before the box opens, so it is shown once.
    m_transfer.LastActivity = std::chrono::microseconds(0);
    if (neverAnswered)
        m_transfer.notify(ConnectionFailed{});
    else
        m_transfer.notify(TransferInterrupted{});
    window.messageBox(neverAnswered ? kConnectionFailedText : kTransferInterruptedText, Buttons::Ok,
                      Icon::Warning, kWindowTitle);
}

}  // namespace oxu
