#pragma once

// The serial port on Qt Serial Port: a QObject on the window's event loop.
// Bytes received raise the data-received handler from readyRead; a device
// that goes away while open, or stops reading for longer than the stall
// limit, closes the port and raises the port-lost handler once.

#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "protocol/line_choices.h"
#include "protocol/serial_port.h"
#include "serial/line_control.h"
#include "serial/port_mapping.h"

namespace oxu {

// The kind of a failed open, from Qt's error and the errno of access() on the
// device node (0 when this user may read and write it). Qt answers
// PermissionError both for a port that another program holds (its lock file,
// or TIOCEXCL) and for a node this user may not open; the node's own
// permissions tell the two apart.
PortErrorKind classifyOpenFailure(QSerialPort::SerialPortError error, int accessError);

class QtSerialPort : public QObject, public SerialPort {
    Q_OBJECT

public:
    // How long the port waits while the line takes none of the bytes queued
    // for it (a device that stopped reading), in use and at close, before it
    // gives up on them.
    static constexpr std::chrono::milliseconds kDrainStallLimit{3000};

    // Port 1 of the running system, 38400 baud, closed.
    explicit QtSerialPort(QObject* parent = nullptr);
    // The same, mapping port numbers through the given scan (tests inject one).
    explicit QtSerialPort(PortScan scan, QObject* parent = nullptr);
    // Closes the port (writing out what was queued); never throws. A close
    // begun by closeWhenSent() is finished at once, without calling its
    // handler.
    ~QtSerialPort() override;

    bool isOpen() const override;

    // Writes out every queued byte, waits for the line's driver to send them
    // (polling TIOCOUTQ, never longer than their line time and kDrainMargin;
    // a signal does not cut that wait short), clears the low-latency flag if
    // open set it, then releases the port. If bytes could not be written out
    // (the line took none for the stall limit, the adapter stopped sending,
    // or the line failed), what is left is discarded, the port is still
    // released, and SerialError then says how many bytes were lost and why
    // (kind Stalled, Disconnected or Io). Finishes a closeWhenSent() under
    // way, whose handler then hears the outcome, and does not throw.
    void close() override;

    // The same close without blocking the event loop: Qt's queue is written
    // out as the line takes it, then the driver's queue is looked at on a
    // timer; done is called once, from the event loop, when the port has
    // been released (also when it was not open). A second call while one is
    // under way hears the same outcome.
    void closeWhenSent(ClosedHandler done) override;

    // Throws SerialError for a number outside 1..16 or while open; resolves
    // the number to a device at once (see resolvePort).
    void setPortNumber(int number) override;

    // Port `number` is the device at path from now on, whatever the
    // environment or the scan say (a device named on the command line), and
    // is selected now. Throws SerialError as setPortNumber does, and then
    // keeps the mapping it had.
    void setDevicePath(int number, std::string path);

    // Throws SerialError for a rate not in kLineChoices, or while open.
    void setBaudRate(int baud) override;

    // Opens the resolved device with the line settings, 8N1, no flow control,
    // lowers RTS (the system raises it at every open; DTR stays raised), asks
    // the driver for low latency (see lowLatency()), and discards input
    // waiting from before. A line without modem-control lines or serial flags
    // (a pseudo-terminal) is opened all the same, with nothing reported.
    // Throws SerialError naming the port and device, the system's reason and
    // a hint (in use by another program, dialout group), of the kind
    // classifyOpenFailure() gives; also when already open.
    void open() override;

    // Appends to the output queue, sent from the event loop; no system call.
    // A line that takes no more for now (a device that stopped reading) keeps
    // the bytes queued; past the stall limit without progress, the port is
    // closed and reported lost (kind Stalled). Throws SerialError when the
    // port is not open.
    void write(ByteView bytes) override;

    // Every byte received and not yet read; none when closed.
    Bytes readAll() override;

    // "COM 1 (/dev/ttyUSB0)", or "COM 3 (no device)".
    std::string describe() const override;

    // How long queued bytes may wait without progress (kDrainStallLimit
    // unless set); tests shorten it.
    void setStallLimit(std::chrono::milliseconds limit) { m_stallLimit = limit; }

    // The selected port number and what it resolved to at setPortNumber.
    const PortResolution& resolution() const { return m_resolution; }
    // The current line choice (its settings text reads "38400,n,8,1").
    const LineChoice& lineChoice() const { return *m_line; }
    // What became of the request for low latency at the last open; kept
    // after close.
    const LowLatencyResult& lowLatency() const { return m_lowLatency; }
    // What became of lowering RTS at the last open: 0 when lowered, the errno
    // of a line that refused (ENOTTY on a pseudo-terminal); nothing when no
    // open got that far. Kept after close.
    std::optional<int> requestToSendError() const { return m_rtsError; }

private slots:
    void handleReadyRead();
    void handleError(QSerialPort::SerialPortError error);
    void handleBytesWritten();
    void handleWriteStall();

private:
    // A close under way on the event loop (closeWhenSent).
    struct PendingClose {
        std::vector<ClosedHandler> done;
        qint64 queued = 0;                 // bytes in Qt's queue when it began
        std::optional<DriverDrain> drain;  // once Qt's queue is written out
    };

    std::optional<SerialError> drainOutput();
    void continuePendingClose();
    void finishPendingClose(std::optional<SerialError> failure);
    SerialError stalledQueueError(qint64 queued) const;
    SerialError lineFailedError(qint64 queued) const;
    std::optional<SerialError> driverDrainError(const DrainOutcome& outcome) const;
    void release(bool discardOutput);
    void restoreLine();
    void loseConnection(PortErrorKind kind, const std::string& cause);

    PortScan m_scan;
    struct GivenDevice {
        int number = 0;
        std::string path;
    };
    std::optional<GivenDevice> m_givenDevice;  // setDevicePath's
    PortResolution m_resolution;
    const LineChoice* m_line = &kDefaultLineChoice;
    QSerialPort m_port;
    std::chrono::milliseconds m_stallLimit = kDrainStallLimit;
    QTimer m_stallTimer;  // runs while queued bytes wait; restarted as they leave
    QTimer m_drainTimer;  // the next step of a pending close
    std::optional<PendingClose> m_pendingClose;
    bool m_closing = false;           // closing: no data notifications; errors are the drain's
    std::string m_closeFailure;       // why the line failed while closing
    bool m_readDuringNotify = false;  // the data handler called readAll()
    LowLatencyResult m_lowLatency;
    std::optional<int> m_rtsError;
};

}  // namespace oxu
