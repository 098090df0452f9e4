#pragma once

// The serial port as the update logic sees it: the port the engine talks to.
// serial/ provides the implementation on Qt Serial Port; tests substitute a
// recording fake.

#include <functional>
#include <stdexcept>
#include <string>

#include "protocol/bytes.h"

namespace oxu {

// A failing port operation. what() is the text shown to the operator: it names
// the port (number and device) and gives the system's reason.
class SerialError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SerialPort {
public:
    // Called on the event loop after bytes have arrived (at least one waiting).
    using DataReceivedHandler = std::function<void()>;
    // Called once when an open port is lost (adapter unplugged, line hung up).
    // The port is already closed when this runs. The text names the port.
    using PortLostHandler = std::function<void(const std::string& description)>;

    virtual ~SerialPort() = default;

    // True between a successful open() and the next close().
    virtual bool isOpen() const = 0;

    // Writes out every byte already passed to write(), then releases the port.
    // Does nothing when the port is not open. Throws SerialError, after
    // releasing the port, when queued bytes could not be written out.
    virtual void close() = 0;

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
    void notifyPortLost(const std::string& description) {
        if (m_onLost)
            m_onLost(description);
    }

private:
    DataReceivedHandler m_onData;
    PortLostHandler m_onLost;
};

}  // namespace oxu
