#include "protocol/watched_update.h"

#include <variant>

namespace oxu {

WatchedUpdate::WatchedUpdate(SerialPort& port, WindowServices& window, Clock& clock)
    : m_transfer(port, window, clock), m_watchdog(m_transfer) {
    m_transfer.setObserver(this);
    port.setDataReceivedHandler([this] { m_transfer.onDataReceived(); });
    port.setPortLostHandler([this](const SerialError& error) { m_transfer.onPortLost(error); });
}

WatchedUpdate::~WatchedUpdate() {
    m_transfer.port().setDataReceivedHandler(nullptr);
    m_transfer.port().setPortLostHandler(nullptr);
}

void WatchedUpdate::runUpdateCommand() {
    m_transfer.runUpdateCommand();
}

void WatchedUpdate::start(const std::string& path, PortSelection selection) {
    m_transfer.startUpdate(path, selection);
}

void WatchedUpdate::start(const Bytes& image, PortSelection selection) {
    m_transfer.startUpdate(image, selection);
}

void WatchedUpdate::stopWatching() {
    m_transfer.LastActivity = std::chrono::microseconds(0);
    m_transfer.window().stopTicking();
}

UpdateProgress WatchedUpdate::progress() const {
    UpdateProgress progress = m_progress;
    progress.bytesHeard = m_transfer.m_bytesHeard;
    return progress;
}

void WatchedUpdate::onUpdateEvent(const UpdateEvent& event) {
    std::visit(Overloaded{
                   [&](const UpdateStarted& started) {
                       m_progress = UpdateProgress{};
                       m_progress.pagesAnnounced = started.pages;
                       m_progress.lastProgress = m_transfer.clock().now();
                       m_served.assign(static_cast<std::size_t>(started.pages) + 1, false);
                   },
                   [&](const PageServed& served) {
                       ++m_progress.requestsServed;
                       m_progress.lastProgress = m_transfer.clock().now();
                       const auto page = static_cast<std::size_t>(served.page);
                       if (page < m_served.size() && !m_served[page]) {
                           m_served[page] = true;
                           ++m_progress.pagesServed;
                       }
                   },
                   [](const auto&) {},
               },
               event);
    if (m_observer != nullptr)
        m_observer->onUpdateEvent(event);
}

}  // namespace oxu
