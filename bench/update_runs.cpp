#include "bench/update_runs.h"

#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <utility>
#include <variant>

#include "app/form1.h"
#include "bench/measure.h"
#include "kit/child_process.h"
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

void UpdateLoop::end(std::string failure) {
    if (m_ended)
        return;
    m_ended = true;
    m_failure = std::move(failure);
    m_loop.quit();
}

std::string UpdateLoop::run(milliseconds timeout, const std::string& portPath) {
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
