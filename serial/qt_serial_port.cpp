#include "serial/qt_serial_port.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QMetaObject>
#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "serial/device_facts.h"

namespace oxu {
namespace {

// Each wait while draining is short so that a stall is noticed promptly.
constexpr int kDrainWaitStepMs = 100;

// 0 when this user may read and write the node, else the errno that says why
// not (as open would find it: with the effective IDs).
int accessError(const std::string& device) {
    return ::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// Qt keys its lock file on the device's file name, so open the node itself:
// a symlink and its target must not be lockable twice.
QString resolveDevicePath(const std::string& device) {
    std::error_code error;
    std::filesystem::path target = std::filesystem::canonical(device, error);
    return QString::fromStdString(error ? device : target.string());
}

// "3 s", "0.25 s".
std::string formatSeconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

}  // namespace

PortErrorKind classifyOpenFailure(QSerialPort::SerialPortError error, int accessError) {
    switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return PortErrorKind::NoDevice;
        case QSerialPort::PermissionError:
            if (accessError == EACCES || accessError == EPERM)
                return PortErrorKind::AccessDenied;
            // The node went away between Qt's attempt and the look at it.
            if (accessError == ENOENT || accessError == ENODEV || accessError == ENOTDIR)
                return PortErrorKind::NoDevice;
            return PortErrorKind::Busy;
        case QSerialPort::UnsupportedOperationError:
            return PortErrorKind::Unsupported;
        default:
            return PortErrorKind::Io;
    }
}

QtSerialPort::QtSerialPort(QObject* parent) : QtSerialPort(systemPortScan(), parent) {}

QtSerialPort::QtSerialPort(PortScan scan, QObject* parent)
    : QObject(parent),
      m_scan(std::move(scan)),
      m_resolution(resolvePort(kFirstPortNumber, m_scan)) {
    connect(&m_port, &QSerialPort::readyRead, this, &QtSerialPort::handleReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialPort::handleError);
    connect(&m_port, &QSerialPort::bytesWritten, this, &QtSerialPort::handleBytesWritten);
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, &QTimer::timeout, this, &QtSerialPort::handleWriteStall);
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, &QtSerialPort::continuePendingClose);
}

QtSerialPort::~QtSerialPort() {
    // Whoever waited for the close may be going away too.
    if (m_pendingClose)
        m_pendingClose->done.clear();
    try {
        close();
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
    }
    // m_port outlives this destructor's body; it must not call back into us.
    disconnect(&m_port, nullptr, this, nullptr);
}

bool QtSerialPort::isOpen() const {
    return m_port.isOpen();
}

void QtSerialPort::close() {
    if (!m_port.isOpen())
        return;
    std::optional<SerialError> failure = drainOutput();
    release(failure.has_value());
    if (m_pendingClose) {
        finishPendingClose(std::move(failure));
        return;
    }
    if (failure)
        throw *failure;
}

void QtSerialPort::closeWhenSent(ClosedHandler done) {
    if (m_pendingClose) {
        m_pendingClose->done.push_back(std::move(done));
        return;
    }
    if (!m_port.isOpen()) {
        QMetaObject::invokeMethod(
            this,
            [done = std::move(done)] {
                if (done)
                    done(std::nullopt);
            },
            Qt::QueuedConnection);
        return;
    }
    m_closing = true;
    m_closeFailure.clear();
    m_pendingClose = PendingClose{{std::move(done)}, m_port.bytesToWrite(), std::nullopt};
    // Qt writes its queue out from the event loop; the first look comes from
    // there too, so that done is never called before this returns.
    m_drainTimer.start(0);
}

// The synchronous drain of close(): Qt's queue, then the driver's.
std::optional<SerialError> QtSerialPort::drainOutput() {
    const qint64 queued = m_pendingClose ? m_pendingClose->queued : m_port.bytesToWrite();
    m_closing = true;
    m_closeFailure.clear();
    qint64 pending = m_port.bytesToWrite();
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    while (pending > 0) {
        m_port.waitForBytesWritten(kDrainWaitStepMs);
        if (!m_closeFailure.empty())
            return lineFailedError(queued);
        const qint64 left = m_port.bytesToWrite();
        if (left < pending) {
            pending = left;
            sinceProgress.restart();
        } else if (sinceProgress.hasExpired(m_stallLimit.count())) {
            return stalledQueueError(queued);
        }
    }
    // Qt's close() restores the old termios at once; let the driver send what
    // it still holds first. A pty has nothing to drain and returns at once.
    const int handle = static_cast<int>(m_port.handle());
    if (handle < 0)
        return std::nullopt;
    return driverDrainError(waitUntilSent(handle, m_line->baud));
}

// One step of closeWhenSent(), from the event loop: wait for Qt's queue (its
// notifier writes it out; bytesWritten comes back here), then look at the
// driver's queue on a timer until the drain has an outcome.
void QtSerialPort::continuePendingClose() {
    if (!m_pendingClose)
        return;
    if (!m_closeFailure.empty()) {
        release(true);
        finishPendingClose(lineFailedError(m_pendingClose->queued));
        return;
    }
    if (m_port.bytesToWrite() > 0) {
        if (!m_stallTimer.isActive())
            m_stallTimer.start(m_stallLimit);
        return;
    }
    PendingClose& pending = *m_pendingClose;
    const int handle = static_cast<int>(m_port.handle());
    if (!pending.drain && handle >= 0)
        pending.drain.emplace(handle, m_line->baud);
    std::optional<DrainOutcome> outcome =
        pending.drain ? pending.drain->look() : std::optional<DrainOutcome>(DrainOutcome{});
    if (!outcome) {
        m_drainTimer.start(pending.drain->untilNextLook());
        return;
    }
    std::optional<SerialError> failure = driverDrainError(*outcome);
    release(failure.has_value());
    finishPendingClose(std::move(failure));
}

void QtSerialPort::finishPendingClose(std::optional<SerialError> failure) {
    if (!m_pendingClose)
        return;
    const std::vector<ClosedHandler> handlers = std::move(m_pendingClose->done);
    m_pendingClose.reset();
    for (const ClosedHandler& done : handlers) {
        if (!done)
            continue;
        try {
            done(failure);
        } catch (const std::exception& exception) {
            // An exception must not unwind through Qt's event dispatch.
            qWarning("%s", exception.what());
        }
    }
}

SerialError QtSerialPort::stalledQueueError(qint64 queued) const {
    const std::string reason = "the line accepted nothing for " + formatSeconds(m_stallLimit);
    return SerialError(PortErrorKind::Stalled,
                       "Could not send " + std::to_string(m_port.bytesToWrite()) + " of " +
                           std::to_string(queued) + " queued bytes to " + describe() +
                           " before closing it: " + reason,
                       reason);
}

SerialError QtSerialPort::lineFailedError(qint64 queued) const {
    const qint64 unsent = m_port.bytesToWrite();
    if (unsent > 0)
        return SerialError(PortErrorKind::Disconnected,
                           "Could not send " + std::to_string(unsent) + " of " +
                               std::to_string(queued) + " queued bytes to " + describe() +
                               " before closing it: " + m_closeFailure,
                           m_closeFailure);
    return SerialError(
        PortErrorKind::Disconnected,
        "Could not finish sending to " + describe() + " before closing it: " + m_closeFailure,
        m_closeFailure);
}

std::optional<SerialError> QtSerialPort::driverDrainError(const DrainOutcome& outcome) const {
    switch (outcome.result) {
        case DrainOutcome::Result::Sent:
            return std::nullopt;
        case DrainOutcome::Result::Stalled:
            return SerialError(PortErrorKind::Stalled, describe() + ": " + outcome.reason + ".",
                               outcome.reason);
        case DrainOutcome::Result::LineFailed:
            break;
    }
    return SerialError(
        PortErrorKind::Io,
        "Could not finish sending to " + describe() + " before closing it: " + outcome.reason,
        outcome.reason);
}

// Puts the line back as open found it and lets go of it. What the driver
// still holds after a failed drain is discarded: the system's own close
// would otherwise wait for it.
void QtSerialPort::release(bool discardOutput) {
    m_stallTimer.stop();
    m_drainTimer.stop();
    restoreLine();
    const int handle = static_cast<int>(m_port.handle());
    if (discardOutput && handle >= 0)
        ::tcflush(handle, TCOFLUSH);
    m_port.close();
    m_closing = false;
}

void QtSerialPort::restoreLine() {
    // The driver's flags outlive the descriptor: leave them as open found
    // them. RTS stays low; the system drops both lines at the last close.
    const int handle = static_cast<int>(m_port.handle());
    if (handle >= 0 && m_lowLatency.outcome == LowLatency::Set)
        restoreLowLatency(handle);
}

void QtSerialPort::setPortNumber(int number) {
    if (m_port.isOpen())
        throw SerialError(
            PortErrorKind::Unsupported,
            "Cannot select port " + std::to_string(number) + " while " + describe() + " is open");
    std::optional<std::string> given;
    if (m_givenDevice && m_givenDevice->number == number)
        given = m_givenDevice->path;
    PortResolution resolution = resolvePort(number, given, m_scan);
    if (resolution.status == PortResolution::Status::OutOfRange)
        throw SerialError(PortErrorKind::Unsupported, resolution.problem);
    m_resolution = std::move(resolution);
}

void QtSerialPort::setDevicePath(int number, std::string path) {
    std::optional<GivenDevice> previous =
        std::exchange(m_givenDevice, GivenDevice{number, std::move(path)});
    try {
        setPortNumber(number);
    } catch (const SerialError&) {
        m_givenDevice = std::move(previous);
        throw;
    }
}

void QtSerialPort::setBaudRate(int baud) {
    if (m_port.isOpen())
        throw SerialError(PortErrorKind::Unsupported,
                          "Cannot change the line settings of " + describe() + " while it is open");
    const LineChoice* line = findLineChoiceByBaud(baud);
    if (line == nullptr)
        throw SerialError(PortErrorKind::Unsupported,
                          "Unsupported line settings (" + std::to_string(baud) + " baud) for " +
                              describe() + ": use " + listBaudRates() + " baud");
    m_line = line;
}

void QtSerialPort::open() {
    if (m_port.isOpen())
        throw SerialError(PortErrorKind::Unsupported,
                          "Cannot open " + describe() + ": it is already open");
    m_lowLatency = {};
    m_rtsError.reset();
    if (!m_resolution.found())
        throw SerialError(
            PortErrorKind::NoDevice,
            "Cannot open COM " + std::to_string(m_resolution.number) + ": " + m_resolution.problem);

    const std::string& device = m_resolution.device;
    m_port.setPortName(resolveDevicePath(device));
    m_port.setBaudRate(m_line->baud);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const std::string reason = m_port.errorString().toStdString();
        const PortErrorKind kind = classifyOpenFailure(m_port.error(), accessError(device));
        std::string cause = reason;
        switch (kind) {
            case PortErrorKind::NoDevice:
                cause = "the device does not exist (" + reason + ")";
                break;
            case PortErrorKind::AccessDenied: {
                // The same advice as the port check gives: the dialout group
                // only where joining it would help.
                const std::string advice =
                    adviseAccess(checkNodeAccess(inspectDeviceNode(device)), device);
                cause = "access is denied" + (advice.empty() ? "" : "; " + advice) + " (" + reason +
                        ")";
                break;
            }
            case PortErrorKind::Busy:
                cause = "the port is in use by another program (" + reason + ")";
                break;
            default:
                break;
        }
        throw SerialError(kind, "Cannot open " + describe() + ": " + cause, reason);
    }
    const int handle = static_cast<int>(m_port.handle());
    // The system raised RTS with the open, and Qt leaves it so; boards that
    // wire RTS to reset or boot mode must see it low before the first byte.
    // Called directly rather than through Qt, which would report a line with
    // no modem-control lines (a pty) as an error.
    m_rtsError = lowerRequestToSend(handle);
    // FTDI adapters hold received bytes up to 16 ms unless told otherwise;
    // every page request would wait that long.
    m_lowLatency = requestLowLatency(handle);
    // Qt 6.4 keeps whatever the line received before the open; the device's
    // replies must start from this session. A failure here is not fatal.
    m_port.clear(QSerialPort::Input);
}

void QtSerialPort::write(ByteView bytes) {
    if (!m_port.isOpen())
        throw SerialError(PortErrorKind::Unsupported,
                          "Cannot write to " + describe() + ": the port is not open");
    if (m_pendingClose)
        throw SerialError(PortErrorKind::Unsupported,
                          "Cannot write to " + describe() + ": the port is being closed");
    if (bytes.empty())
        return;
    const auto size = static_cast<qint64>(bytes.size());
    if (m_port.write(reinterpret_cast<const char*>(bytes.data()), size) != size)
        throw SerialError(
            PortErrorKind::Io,
            "Cannot write to " + describe() + ": " + m_port.errorString().toStdString(),
            m_port.errorString().toStdString());
    // Watched while they wait: a device that stops reading leaves them there.
    if (!m_stallTimer.isActive())
        m_stallTimer.start(m_stallLimit);
}

Bytes QtSerialPort::readAll() {
    if (!m_port.isOpen())
        return {};
    m_readDuringNotify = true;
    const QByteArray data = m_port.readAll();
    return Bytes(data.begin(), data.end());
}

std::string QtSerialPort::describe() const {
    return describePort(m_resolution);
}

void QtSerialPort::handleReadyRead() {
    // While close() waits for output Qt may read input and raise readyRead;
    // the caller is closing, so those bytes are dropped with the port rather
    // than re-entering the caller from inside close().
    if (m_closing || !m_port.isOpen() || m_port.bytesAvailable() <= 0)
        return;
    m_readDuringNotify = false;
    try {
        notifyDataReceived();
    } catch (const std::exception& error) {
        // An exception must not unwind through Qt's event dispatch.
        qWarning("%s", error.what());
    }
    // Hand the reply to the line now, in one non-blocking write, rather than
    // on a later pass of the event loop behind whatever the handler queued
    // (a repaint of the status line, for one): the device waits for it.
    if (m_port.isOpen() && m_port.bytesToWrite() > 0)
        m_port.flush();
    // Qt raises no readyRead for bytes read in while its readyRead is being
    // handled (the handler may run the event loop); without another look they
    // would wait for the next chunk, which the device sends only after a reply.
    if (m_readDuringNotify && m_port.isOpen() && m_port.bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &QtSerialPort::handleReadyRead, Qt::QueuedConnection);
}

void QtSerialPort::handleBytesWritten() {
    // Progress: the stall limit counts again from now, while bytes wait.
    if (m_port.bytesToWrite() > 0) {
        m_stallTimer.start(m_stallLimit);
        return;
    }
    m_stallTimer.stop();
    if (m_pendingClose && !m_drainTimer.isActive())
        m_drainTimer.start(0);
}

void QtSerialPort::handleWriteStall() {
    if (!m_port.isOpen() || m_port.bytesToWrite() == 0)
        return;
    if (m_pendingClose) {
        const qint64 queued = m_pendingClose->queued;
        SerialError failure = stalledQueueError(queued);
        release(true);
        finishPendingClose(std::move(failure));
        return;
    }
    if (m_closing)
        return;
    const int held = queuedOutput(static_cast<int>(m_port.handle()));
    const qint64 unsent = m_port.bytesToWrite() + std::max(held, 0);
    loseConnection(PortErrorKind::Stalled, "the device stopped reading: " + std::to_string(unsent) +
                                               " bytes could not be sent in " +
                                               formatSeconds(m_stallLimit) + ".");
}

void QtSerialPort::handleError(QSerialPort::SerialPortError error) {
    const bool lineFailed = error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
                            error == QSerialPort::ResourceError;
    if (!lineFailed || !m_port.isOpen())
        return;
    // Qt reports a write that would block (EAGAIN) as ResourceError, as it
    // does a device that went away. A device that stopped reading leaves the
    // line there, only full: Qt keeps its queue and writes it when the line
    // takes bytes again, and the stall limit decides when that took too long.
    if (error == QSerialPort::ResourceError && m_port.bytesToWrite() > 0 &&
        lineStillThere(static_cast<int>(m_port.handle()))) {
        m_port.clearError();
        if (!m_stallTimer.isActive())
            m_stallTimer.start(m_stallLimit);
        return;
    }
    if (m_closing) {
        if (m_closeFailure.empty())
            m_closeFailure = "the device was disconnected";
        // Qt repeats the error while the port stays open: end at once.
        if (m_pendingClose) {
            SerialError failure = lineFailedError(m_pendingClose->queued);
            release(true);
            finishPendingClose(std::move(failure));
        }
        return;
    }
    // Qt's text for a vanished device is often a stale errno ("Inappropriate
    // ioctl for device"), so only a failed write keeps its own text.
    if (error == QSerialPort::WriteError)
        loseConnection(PortErrorKind::Io,
                       "writing to it failed (" + m_port.errorString().toStdString() + ").");
    else
        loseConnection(PortErrorKind::Disconnected, "the device was disconnected.");
}

void QtSerialPort::loseConnection(PortErrorKind kind, const std::string& cause) {
    // Qt 6.4 repeats the error about 100,000 times a second while the port
    // stays open; closing at once stops that. Nothing queued can reach a line
    // that is gone or a device that stopped reading, so no drain.
    m_closing = true;
    release(true);
    try {
        notifyPortLost(
            SerialError(kind, "The connection to " + describe() + " was lost: " + cause));
    } catch (const std::exception& exception) {
        qWarning("%s", exception.what());
    }
}

}  // namespace oxu
