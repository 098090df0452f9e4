// The deliberate baselines: the least code that serves an update, with Qt
// (the bare responder) and without (the raw one). They are the floor the
// engine and the window are measured against, so they repeat the serve loop
// on purpose instead of sharing the engine's code: shared, the engine would
// be measured twice and the ratios would say nothing.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QSerialPort>
#include <cerrno>
#include <cstring>

#include "bench/update_runs.h"
#include "kit/pty.h"
#include "protocol/firmware_image.h"
#include "protocol/frames.h"
#include "protocol/line_choices.h"

namespace oxu::bench {
namespace {

using std::chrono::milliseconds;

// What the device sent so far: a request to answer, the completion byte, or
// not enough yet.
enum class Heard { Nothing, Request, Completion };

Heard hear(const Bytes& received) {
    if (received.size() == 1 && received[0] == kCompletionByte)
        return Heard::Completion;
    if (received.size() >= kPageRequestSize && received[0] == kFrameMark)
        return Heard::Request;
    return Heard::Nothing;
}

// No Qt at all: poll, read, write on the terminal. What the kernel and the
// pseudo-terminal cost, below any event loop.
class RawResponder final : public Responder {
public:
    std::string serve(const std::string& portPath, const std::string& imagePath,
                      milliseconds timeout) override {
        const Bytes image = Lire(imagePath);
        const int fd = ::open(portPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return "the raw responder cannot open " + portPath + ": " + std::strerror(errno);
        kit::makeRaw(fd);
        ::tcflush(fd, TCIFLUSH);
        std::string failure = answerRequests(fd, image, timeout, portPath);
        ::close(fd);
        return failure;
    }

private:
    static bool writeAll(int fd, const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                return false;
            done += static_cast<std::size_t>(wrote);
        }
        return true;
    }

    static std::string answerRequests(int fd, const Bytes& image, milliseconds timeout,
                                      const std::string& portPath) {
        const std::string cannotWrite = "the raw responder cannot write to " + portPath + ": ";
        if (!writeAll(fd, buildHeaderFrame(pageCount(image.size()))))
            return cannotWrite + std::strerror(errno);
        Bytes received;
        for (;;) {
            // The timeout bounds each silence of the device, as the device's own does.
            pollfd watched{fd, POLLIN, 0};
            const int ready = ::poll(&watched, 1, static_cast<int>(timeout.count()));
            if (ready == 0)
                return "no completion on " + portPath + " within " +
                       std::to_string(timeout.count()) + " ms";
            if (ready < 0 && errno == EINTR)
                continue;
            std::uint8_t chunk[512];
            const ssize_t got = ready < 0 ? -1 : ::read(fd, chunk, sizeof chunk);
            if (got <= 0)
                return "the raw responder lost " + portPath;
            received.insert(received.end(), chunk, chunk + got);
            const Heard heard = hear(received);
            if (heard == Heard::Completion)
                return {};
            if (heard == Heard::Request) {
                if (!writeAll(fd, buildPageFrame(pageSlice(image, received[1]))))
                    return cannotWrite + std::strerror(errno);
                received.clear();
            }
        }
    }
};

class BareResponder final : public Responder {
public:
    std::string serve(const std::string& portPath, const std::string& imagePath,
                      milliseconds timeout) override {
        const Bytes image = Lire(imagePath);
        QSerialPort port;
        port.setPortName(QString::fromStdString(portPath));
        port.setBaudRate(kDefaultLineChoice.baud);
        if (!port.open(QIODevice::ReadWrite))
            return "the bare responder cannot open " + portPath + ": " +
                   port.errorString().toStdString();
        port.clear(QSerialPort::Input);

        UpdateLoop loop;
        Bytes received;
        const auto send = [&port](const Bytes& frame) {
            port.write(reinterpret_cast<const char*>(frame.data()),
                       static_cast<qint64>(frame.size()));
        };
        QObject::connect(&port, &QSerialPort::readyRead, [&] {
            const QByteArray got = port.readAll();
            received.insert(received.end(), got.begin(), got.end());
            const Heard heard = hear(received);
            if (heard == Heard::Completion) {
                port.close();
                loop.end({});
            } else if (heard == Heard::Request) {
                send(buildPageFrame(pageSlice(image, received[1])));
                received.clear();
            }
        });
        QObject::connect(&port, &QSerialPort::errorOccurred,
                         [&](QSerialPort::SerialPortError error) {
                             // A vanished device raises errors without end while the port
                             // stays open (Qt 6.4): close at the first and end the run.
                             const bool lineFailed = error == QSerialPort::ReadError ||
                                                     error == QSerialPort::WriteError ||
                                                     error == QSerialPort::ResourceError;
                             if (!lineFailed || !port.isOpen())
                                 return;
                             const std::string reason = port.errorString().toStdString();
                             port.close();
                             loop.end("the bare responder lost " + portPath + ": " + reason);
                         });
        send(buildHeaderFrame(pageCount(image.size())));
        std::string failure = loop.run(timeout, portPath);
        if (port.isOpen())
            port.close();
        return failure;
    }
};

}  // namespace

std::unique_ptr<Responder> makeBareResponder() {
    return std::make_unique<BareResponder>();
}

std::unique_ptr<Responder> makeRawResponder() {
    return std::make_unique<RawResponder>();
}

}  // namespace oxu::bench
