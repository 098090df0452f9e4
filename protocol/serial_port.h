#pragma once

// The serial port as the update logic sees it: the port the engine talks to.
// serial/ provides the implementation on Qt Serial Port; tests substitute a
// recording fake.

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "protocol/bytes.h"

namespace oxu {

// What kind of failure a port operation met. Callers decide on the kind; the
// words beside it are for people and are never searched.
enum class PortErrorKind {
    NoDevice,      // nothing behind the port: no device at its path, or no such port
    Busy,          // another program holds the port
    AccessDenied,  // this user may not open the device
    Stalled,       // the line stopped taking bytes: the device or adapter stopped reading
    Disconnected,  // the device went away while the port was open
    Io,            // any other failure of the system or the line
    Unsupported,   // a request the port cannot take (a baud rate, a port number, a call while open)
};

// The kind as one lower-case word for machine-readable output: "no_device",
// "busy", "access_denied", "stalled", "disconnected", "io", "unsupported".
const char* portErrorKey(PortErrorKind kind);

// A failing port operation. what() is the text shown to the operator: it names
// the port (number and device) and gives the system's reason. systemText() is
// that reason in the system's own words alone (empty when there is none).
class SerialError : public std::runtime_error {
public:
    SerialError(PortErrorKind kind, const std::string& description, std::string systemText = {})
        : std::runtime_error(description), m_kind(kind), m_systemText(std::move(systemText)) {}

    PortErrorKind kind() const noexcept { return m_kind; }
    const std::string& systemText() const noexcept { return m_systemText; }

private:
    PortErrorKind m_kind;
    std::string m_systemText;
};

class SerialPort {
public:
    // Called on the event loop after bytes have arrived (at least one waiting).
    using DataReceivedHandler = std::function<void()>;
    // Called once when an open port is lost (adapter unplugged, line hung up,
    // a device that stopped reading). The port is already closed when this
    // runs. The error's text names the port; its kind says what happened.
    using PortLostHandler = std::function<void(const SerialError& error)>;
    // Called once when closeWhenSent() has released the port: with no error
    // when every queued byte left, otherwise with why not.
    using ClosedHandler = std::function<void(const std::optional<SerialError>& failure)>;

    virtual ~SerialPort() = default;

    // True between a successful open() and the next close().
    virtual bool isOpen() const = 0;

    // Writes out every byte already passed to write(), then releases the port.
    // Does nothing when the port is not open. Throws SerialError, after
    // releasing the port, when queued bytes could not be written out.
    virtual void close() = 0;

    // close() for a caller that shares its event loop with other ports: the
    // wait for the line runs without blocking that loop, and done is called
    // once the port is released (at once when it is not open). A port whose
    // close never waits may release it at once and call done before returning,
    // as this default does.
    virtual void closeWhenSent(ClosedHandler done) {
        std::optional<SerialError> failure;
        try {
            close();
        } catch (const SerialError& error) {
            failure = error;
        }
        if (done)
            done(failure);
    }

    // Selects port N (1 is the first serial port) and resolves it to a device
    // at once. Only while closed. Throws SerialError for a number the platform
    // cannot use; a number with no device behind it fails at open().
    virtual void setPortNumber(int number) = 0;

    // The baud rate of one of kLineChoices; always 8 data bits, no parity,
    // 1 stop bit. Only while closed. Throws SerialError for any other rate.
    virtual void setBaudRate(int baud) = 0;

    // Opens the selected port with the current line settings and discards any
    // input left waiting from before. Throws SerialError naming the port and
    // device, with the system's reason and a hint where one helps.
    virtual void open() = 0;

    // Queues bytes for sending, in order, without waiting for the line.
    // Throws SerialError when the port is not open or the write fails.
    virtual void write(ByteView bytes) = 0;

    // Every byte received and not yet read, possibly none.
    virtual Bytes readAll() = 0;

    // Human-readable name of the selected port, e.g. "COM 1 (/dev/ttyUSB0)".
    virtual std::string describe() const = 0;

    void setDataReceivedHandler(DataReceivedHandler handler) { m_onData = std::move(handler); }
    void setPortLostHandler(PortLostHandler handler) { m_onLost = std::move(handler); }

protected:
    void notifyDataReceived() {
        if (m_onData)
            m_onData();
    }
    void notifyPortLost(const SerialError& error) {
        if (m_onLost)
            m_onLost(error);
    }

private:
    DataReceivedHandler m_onData;
    PortLostHandler m_onLost;
};

}  // namespace oxu
