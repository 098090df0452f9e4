#include "protocol/update_transfer.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "protocol/firmware_image.h"
#include "protocol/frames.h"
#include "protocol/port_setup.h"

namespace oxu {

namespace {

// A reading to store in LastActivity: never zero, which means "not watching".
std::chrono::microseconds activityTime(const Clock& clock) {
    return std::max(clock.now(), std::chrono::microseconds(1));
}

}  // namespace

std::string transferStatusText(int page) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03d", page);
    return std::string("Transferring page ") + digits + " ...";
}

UpdateTransfer::UpdateTransfer(SerialPort& port, WindowServices& window, Clock& clock)
    : m_port(port), m_window(window), m_clock(clock) {}

void UpdateTransfer::runUpdateCommand() {
    try {
        const std::string path = m_window.chooseFile(kFirmwareFilter);
        startUpdate(path);
    } catch (const std::exception& failure) {
        m_window.messageBox(failure.what(), Buttons::Ok, Icon::Warning, kWindowTitle);
    }
}

void UpdateTransfer::notify(const UpdateEvent& event) {
    if (m_observer != nullptr)
        m_observer->onUpdateEvent(event);
}

void UpdateTransfer::startUpdate(const std::string& path, PortSelection selection) {
    try {
        start(path, selection);
    } catch (const std::exception& failure) {
        notify(StartFailed{failure.what()});
        throw;
    }
}

void UpdateTransfer::startUpdate(const Bytes& image, PortSelection selection) {
    try {
        selectPort(selection);
        begin(image, buildHeaderFrame(pageCount(image.size())));
    } catch (const std::exception& failure) {
        notify(StartFailed{failure.what()});
        throw;
    }
}

void UpdateTransfer::start(const std::string& path, PortSelection selection) {
    if (path.empty())
        return;

    // Only a regular file (after following links) is an image; anything else
    // is treated as not there, without a message. A file too large for the
    // header, or unreadable, fails further on, once the port is configured.
    const FirmwareCheck file = checkFirmwareFile(path);
    using Status = FirmwareCheck::Status;
    if (file.status == Status::Missing || file.status == Status::NotRegular)
        return;
    if (file.status == Status::Inaccessible)
        throw std::runtime_error(file.problem);
    const std::uintmax_t length = file.size;
    const long long pages = pageCount(length);

    selectPort(selection);
    const Bytes header = buildHeaderFrame(pages);

    // The header announces the pages of `length` bytes; an image of any other
    // size would be served short or padded, so it is refused before the port
    // opens.
    Bytes image = Lire(path);
    if (image.size() != length) {
        throw FirmwareReadError("The firmware file \"" + path + "\" changed while it was read (" +
                                std::to_string(length) + " bytes expected, " +
                                std::to_string(image.size()) + " read).");
    }
    begin(std::move(image), header);
}

void UpdateTransfer::selectPort(PortSelection selection) {
    if (selection == PortSelection::FromWindow)
        configurePort(m_port, m_window);
    else
        closeQuietly(m_port);
}

void UpdateTransfer::begin(Bytes image, const Bytes& header) {
    ImageData = std::move(image);
    RxBuffer.clear();
    m_bytesHeard = 0;

    m_port.open();
    AwaitingFirstReply = true;
    watch();
    m_port.write(header);
    notify(UpdateStarted{ImageData.size(), static_cast<int>(header[1])});
}

void UpdateTransfer::watch() {
    LastActivity = activityTime(m_clock);
    // The watchdog's tick runs only while there is something to watch; the
    // watchdog stops it on the first tick that finds LastActivity at 0.
    m_window.startTicking();
}

void UpdateTransfer::onDataReceived() {
    if (m_receiving) {
        // Leave the bytes in the port; the running handler picks them up
        // when it returns, so requests are served once each and in order.
        m_dataPending = true;
        return;
    }
    m_receiving = true;
    do {
        m_dataPending = false;
        try {
            handleReceived();
        } catch (const SerialError& failure) {
            reportFailure(failure.what(), failure.kind());
        } catch (const std::exception& failure) {
            reportFailure(failure.what(), PortErrorKind::Io);
        }
    } while (m_dataPending && m_port.isOpen());
    m_receiving = false;
}

void UpdateTransfer::handleReceived() {
    const Bytes incoming = m_port.readAll();
    if (incoming.empty())
        return;
    m_bytesHeard += incoming.size();
    AwaitingFirstReply = false;
    watch();

    RxBuffer.insert(RxBuffer.end(), incoming.begin(), incoming.end());

    if (RxBuffer.size() == 1 && RxBuffer[0] == kCompletionByte) {
        completeUpdate();
        return;
    }
    if (RxBuffer.size() >= kPageRequestSize && RxBuffer[0] != kFrameMark)
        dropStrayBytes();
    if (RxBuffer.size() >= kPageRequestSize)
        serveRequest();
    // Otherwise wait: half a request, or one byte that the next may complete.
}

void UpdateTransfer::dropStrayBytes() {
    // A byte that starts no request (line noise at power-up or plug-in) would
    // otherwise hold every later request behind it. Only a request mark can
    // start anything, so everything before the first one goes; a completion
    // byte among them completes nothing, since it did not arrive alone.
    const auto mark = std::find(RxBuffer.begin(), RxBuffer.end(), kFrameMark);
    RxBuffer.erase(RxBuffer.begin(), mark);
}

void UpdateTransfer::serveRequest() {
    const int page = RxBuffer[1];
    // Repaints before the page goes out, without running other events that
    // could append a second request behind this one.
    m_window.setStatus(transferStatusText(page));
    if (page == 0) {
        notify(PageZeroRequested{});
        m_window.messageBox(kStartFromPageOneText, Buttons::Ok, Icon::Information, kWindowTitle);
    } else {
        const Bytes frame = buildPageFrame(pageSlice(ImageData, page));
        // One write per byte, as the device's receiver has always been fed.
        for (const std::uint8_t& byte : frame)
            m_port.write(ByteView(&byte, 1));
        notify(PageServed{page, frame.size()});
    }
    // Whatever followed the two request bytes goes too.
    RxBuffer.clear();
}

void UpdateTransfer::completeUpdate() {
    LastActivity = std::chrono::microseconds(0);
    RxBuffer.clear();
    // The port is released either way; bytes it could not send after the
    // device's completion take nothing from the update.
    std::string closeProblem;
    try {
        m_port.close();
    } catch (const SerialError& failure) {
        closeProblem = failure.what();
    }
    m_window.setStatus("");
    notify(UpdateCompleted{closeProblem});
    m_window.messageBox(kTransferCompleteText, Buttons::Ok, Icon::Information, kWindowTitle);
}

void UpdateTransfer::onPortLost(const SerialError& error) {
    LastActivity = std::chrono::microseconds(0);
    RxBuffer.clear();
    notify(PortLost{error.what(), error.kind()});
    m_window.messageBox(error.what(), Buttons::Ok, Icon::Warning, kWindowTitle);
}

void UpdateTransfer::reportFailure(const std::string& description, PortErrorKind kind) {
    // A write that fails mid-update leaves nothing to serve: release the port
    // and stop watching, so the operator sees one message and can start again.
    LastActivity = std::chrono::microseconds(0);
    RxBuffer.clear();
    // The port is being abandoned; its own failure adds nothing.
    closeQuietly(m_port);
    notify(WriteFailed{description, kind});
    m_window.messageBox(description, Buttons::Ok, Icon::Warning, kWindowTitle);
}

}  // namespace oxu
