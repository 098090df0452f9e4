#include "bench/update_runs.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QSerialPort>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <utility>
#include <variant>

#include "app/form1.h"
#include "bench/measure.h"
#include "kit/child_process.h"
#include "kit/pty.h"
#include "protocol/firmware_image.h"
#include "protocol/frames.h"
#include "protocol/update_events.h"
#include "protocol/update_transfer.h"
#include "protocol/window_services.h"
#include "serial/port_mapping.h"
#include "serial/qt_serial_port.h"

namespace oxu::bench {
namespace {

using std::chrono::milliseconds;

// Every responder here selects port 1; OXU_COM1 names the terminal to use.
constexpr int kBenchPort = 1;
constexpr milliseconds kSimulatorStart{10000};
constexpr milliseconds kLineFinish{5000};
constexpr milliseconds kVerdictWait{15000};

void pointPortAt(const std::string& portPath) {
    ::setenv(portVariableName(kBenchPort).c_str(), portPath.c_str(), 1);
}

// The event loop of one update: runs until the responder reports the end,
// or the timeout passes. An end reported before the loop starts (a failure
// while starting the update) is kept, not lost.
class UpdateLoop {
public:
    void end(std::string failure) {
        if (m_ended)
            return;
        m_ended = true;
        m_failure = std::move(failure);
        m_loop.quit();
    }

    // Empty when the update completed; otherwise why not.
    std::string run(milliseconds timeout, const std::string& portPath) {
        if (!m_ended) {
            QTimer timer;
            timer.setSingleShot(true);
            QObject::connect(&timer, &QTimer::timeout, &m_loop, &QEventLoop::quit);
            timer.start(static_cast<int>(timeout.count()));
            m_loop.exec();
        }
        if (!m_ended)
            return "no completion on " + portPath + " within " + std::to_string(timeout.count()) +
                   " ms";
        return m_failure;
    }

private:
    QEventLoop m_loop;
    bool m_ended = false;
    std::string m_failure;
};

// Ends the loop of one update on the event that ends it: completion as a
// success, anything else that stops the transfer as the failure it is.
class LoopEnder final : public UpdateObserver {
public:
    UpdateLoop* loop = nullptr;

    void onUpdateEvent(const UpdateEvent& event) override {
        if (loop == nullptr)
            return;
        std::visit(Overloaded{
                       [](const UpdateStarted&) {},
                       [](const PageServed&) {},
                       [this](const UpdateCompleted&) { loop->end({}); },
                       [this](const StartFailed& e) { loop->end("start failed: " + e.reason); },
                       [this](const PageZeroRequested&) { loop->end("asked for page 0"); },
                       [this](const ConnectionFailed&) { loop->end("connection failed"); },
                       [this](const TransferInterrupted&) { loop->end("transfer interrupted"); },
                       [this](const PortLost& e) { loop->end(e.description); },
                       [this](const WriteFailed& e) { loop->end(e.description); },
                   },
                   event);
    }
};

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
        if (!writeAll(fd, buildHeaderFrame(pageCount(image.size()))))
            return "the raw responder cannot write to " + portPath + ": " + std::strerror(errno);
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
            if (received.size() == 1 && received[0] == kCompletionByte)
                return {};
            if (received.size() >= kPageRequestSize && received[0] == kFrameMark) {
                if (!writeAll(fd, buildPageFrame(pageSlice(image, received[1]))))
                    return "the raw responder cannot write to " + portPath + ": " +
                           std::strerror(errno);
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
        port.setDataBits(QSerialPort::Data8);
        port.setParity(QSerialPort::NoParity);
        port.setStopBits(QSerialPort::OneStop);
        port.setFlowControl(QSerialPort::NoFlowControl);
        if (!port.open(QIODevice::ReadWrite))
            return "the bare responder cannot open " + portPath + ": " +
                   port.errorString().toStdString();
        port.clear(QSerialPort::Input);

        UpdateLoop loop;
        Bytes received;
        QObject::connect(&port, &QSerialPort::readyRead, [&] {
            const QByteArray got = port.readAll();
            received.insert(received.end(), got.begin(), got.end());
            if (received.size() == 1 && received[0] == kCompletionByte) {
                port.close();
                loop.end({});
            } else if (received.size() >= kPageRequestSize && received[0] == kFrameMark) {
                const Bytes frame = buildPageFrame(pageSlice(image, received[1]));
                port.write(reinterpret_cast<const char*>(frame.data()),
                           static_cast<qint64>(frame.size()));
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
        const Bytes header = buildHeaderFrame(pageCount(image.size()));
        port.write(reinterpret_cast<const char*>(header.data()),
                   static_cast<qint64>(header.size()));
        std::string failure = loop.run(timeout, portPath);
        if (port.isOpen())
            port.close();
        return failure;
    }
};

// The window services with nothing on screen: the status text is kept, a
// message box is answered at once.
class HeadlessWindow final : public WindowServices {
public:
    std::string portText() const override { return std::to_string(kBenchPort); }
    BaudOption selectedBaud() const override { return kDefaultLineChoice.option; }
    void setStatus(const std::string& text) override { m_status = text; }
    void endProgram() override {}

protected:
    Answer showMessageBox(const std::string&, Buttons buttons, Icon,
                          const std::optional<std::string>&) override {
        return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
    }
    std::string showFileDialog(const std::string&) override { return {}; }

private:
    std::string m_status;
};

class EngineResponder final : public Responder {
public:
    EngineResponder() : m_transfer(m_port, m_window, m_clock) {
        m_port.setDataReceivedHandler([this] { m_transfer.onDataReceived(); });
        m_port.setPortLostHandler(
            [this](const std::string& description) { m_transfer.onPortLost(description); });
        m_transfer.setObserver(&m_ender);
    }

    std::string serve(const std::string& portPath, const std::string& imagePath,
                      milliseconds timeout) override {
        pointPortAt(portPath);
        UpdateLoop loop;
        m_ender.loop = &loop;
        try {
            m_transfer.startUpdate(imagePath);
        } catch (const std::exception&) {
            // Reported as StartFailed, which has ended the loop.
        }
        std::string failure = loop.run(timeout, portPath);
        m_ender.loop = nullptr;
        closeQuietly();
        return failure;
    }

private:
    void closeQuietly() {
        try {
            m_port.close();
        } catch (const std::exception&) {
            // Only after a failed run, which already says what went wrong.
        }
    }

    QtSerialPort m_port;
    HeadlessWindow m_window;
    SteadyClock m_clock;
    UpdateTransfer m_transfer;
    LoopEnder m_ender;
};

// The real window; only its two dialogs are answered by the benchmark.
class BenchForm1 final : public Form1 {
public:
    std::string nextFile;

protected:
    Answer showMessageBox(const std::string&, Buttons buttons, Icon,
                          const std::optional<std::string>&) override {
        return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
    }
    std::string showFileDialog(const std::string&) override { return std::exchange(nextFile, {}); }
};

class WindowResponder final : public Responder {
public:
    WindowResponder() {
        m_form.transfer().setObserver(&m_ender);
        m_form.show();
        QCoreApplication::processEvents();
    }

    std::string serve(const std::string& portPath, const std::string& imagePath,
                      milliseconds timeout) override {
        pointPortAt(portPath);
        UpdateLoop loop;
        m_ender.loop = &loop;
        m_form.nextFile = imagePath;
        m_form.Command2->click();
        std::string failure = loop.run(timeout, portPath);
        m_ender.loop = nullptr;
        try {
            m_form.MSComm1->close();
        } catch (const std::exception&) {
            // Only after a failed run, which already says what went wrong.
        }
        return failure;
    }

private:
    LoopEnder m_ender;
    BenchForm1 m_form;
};

}  // namespace

std::unique_ptr<Responder> makeRawResponder() {
    return std::make_unique<RawResponder>();
}

std::unique_ptr<Responder> makeBareResponder() {
    return std::make_unique<BareResponder>();
}

std::unique_ptr<Responder> makeEngineResponder() {
    return std::make_unique<EngineResponder>();
}

std::unique_ptr<Responder> makeWindowResponder() {
    return std::make_unique<WindowResponder>();
}

UpdateRun runUpdate(Responder& responder, const DeviceSetup& setup, const std::string& imagePath) {
    UpdateRun run;
    // The engine treats a path that is not a regular file as a cancelled
    // dialog and does nothing; the run would only end at its timeout.
    std::error_code error;
    if (!std::filesystem::is_regular_file(imagePath, error)) {
        run.failure = "the image " + imagePath + " is not a regular file";
        return run;
    }
    try {
        kit::ChildProcess simulator(setup.simulator, simulatorFlags(setup));
        const std::string devicePath = simulator.firstLine(kSimulatorStart);
        if (devicePath.empty()) {
            simulator.sendSignal(SIGTERM);
            const kit::ProgramResult result = simulator.finish(kLineFinish);
            run.failure = setup.simulator + " printed no terminal path: " + trimmed(result.err);
            return run;
        }
        std::optional<PacedLine> line;
        if (setup.baud)
            line.emplace(devicePath, *setup.baud);
        const std::string portPath = line ? line->programPath() : devicePath;
        const std::string failure = responder.serve(portPath, imagePath, setup.timeout);
        if (line)
            run.line = line->finish(kLineFinish);
        // After a failure the device would wait out its own timeout first.
        if (!failure.empty())
            simulator.sendSignal(SIGTERM);
        const kit::ProgramResult result = simulator.finish(kVerdictWait);
        readVerdict(result.out, run);
        if (!failure.empty()) {
            run.ok = false;
            run.failure = failure + (run.failure.empty() ? "" : "; " + run.failure);
        } else if (run.line && !run.line->failure.empty()) {
            run.ok = false;
            run.failure = "paced line: " + run.line->failure;
        }
    } catch (const std::exception& error) {
        run.ok = false;
        run.failure = error.what();
    }
    return run;
}

}  // namespace oxu::bench
