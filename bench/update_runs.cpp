#include "bench/update_runs.h"

#include <signal.h>

#include <QCoreApplication>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <utility>
#include <variant>

#include "app/form1.h"
#include "bench/measure.h"
#include "device/report.h"
#include "protocol/update_events.h"
#include "protocol/watched_update.h"
#include "protocol/window_services.h"
#include "serial/qt_serial_port.h"

namespace oxu::bench {
namespace {

using std::chrono::milliseconds;

// Every responder here selects port 1, mapped to the terminal to use.
constexpr int kBenchPort = 1;
constexpr milliseconds kSimulatorStart{10000};
constexpr milliseconds kLineFinish{5000};
constexpr milliseconds kVerdictWait{15000};

// Nobody watches the boxes: No to a question, OK to anything else.
Answer answerAtOnce(Buttons buttons) {
    return buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
}

// Serves an update through an update transfer, the engine's or the
// window's: starts it, then runs the loop until the event that ends it.
class TransferResponder : public Responder {
public:
    std::string serve(const std::string& portPath, const std::string& imagePath,
                      milliseconds timeout) override {
        selectPort(portPath);
        UpdateLoop loop;
        m_loop = &loop;
        start(imagePath);
        std::string failure = loop.run(timeout, portPath);
        m_loop = nullptr;
        try {
            closePort();
        } catch (const std::exception&) {
            // Only after a failed run, which already says what went wrong.
        }
        return failure;
    }

protected:
    // Maps port kBenchPort to portPath; throws SerialError.
    virtual void selectPort(const std::string& portPath) = 0;
    virtual void start(const std::string& imagePath) = 0;
    virtual void closePort() = 0;

    // Ends the loop on the event that ends the update: completion as a
    // success, anything else that stops the transfer as the failure it is.
    FunctionObserver m_ender{[this](const UpdateEvent& event) {
        if (m_loop == nullptr)
            return;
        std::visit(Overloaded{
                       [](const UpdateStarted&) {},
                       [](const PageServed&) {},
                       [this](const UpdateCompleted&) { m_loop->end({}); },
                       [this](const StartFailed& e) { m_loop->end("start failed: " + e.reason); },
                       [this](const PageZeroRequested&) { m_loop->end("asked for page 0"); },
                       [this](const ConnectionFailed&) { m_loop->end("connection failed"); },
                       [this](const TransferInterrupted&) { m_loop->end("transfer interrupted"); },
                       [this](const PortLost& e) { m_loop->end(e.description); },
                       [this](const WriteFailed& e) { m_loop->end(e.description); },
                   },
                   event);
    }};

private:
    UpdateLoop* m_loop = nullptr;
};

// The window services with nothing on screen.
class HeadlessWindow final : public WindowServices {
public:
    std::string portText() const override { return std::to_string(kBenchPort); }
    BaudOption selectedBaud() const override { return kDefaultLineChoice.option; }
    void setStatus(const std::string&) override {}
    void endProgram() override {}

protected:
    Answer showMessageBox(const std::string&, Buttons buttons, Icon,
                          const std::optional<std::string>&) override {
        return answerAtOnce(buttons);
    }
    std::string showFileDialog(const std::string&) override { return {}; }
};

class EngineResponder final : public TransferResponder {
public:
    EngineResponder() { m_update.setObserver(&m_ender); }

private:
    void selectPort(const std::string& portPath) override {
        m_port.setDevicePath(kBenchPort, portPath);
    }
    void start(const std::string& imagePath) override {
        try {
            m_update.start(imagePath);
        } catch (const std::exception&) {
            // Reported as StartFailed, which has ended the loop.
        }
    }
    void closePort() override { m_port.close(); }

    QtSerialPort m_port;
    HeadlessWindow m_window;
    SteadyClock m_clock;
    WatchedUpdate m_update{m_port, m_window, m_clock};
};

// The real window; only its two dialogs are answered by the benchmark.
class BenchForm1 final : public Form1 {
public:
    explicit BenchForm1(SerialPort* port) : Form1(port) {}

    std::string nextFile;

protected:
    Answer showMessageBox(const std::string&, Buttons buttons, Icon,
                          const std::optional<std::string>&) override {
        return answerAtOnce(buttons);
    }
    std::string showFileDialog(const std::string&) override { return std::exchange(nextFile, {}); }
};

class WindowResponder final : public TransferResponder {
public:
    WindowResponder() {
        m_form.watchedUpdate().setObserver(&m_ender);
        m_form.show();
        QCoreApplication::processEvents();
    }

private:
    void selectPort(const std::string& portPath) override {
        m_port.setDevicePath(kBenchPort, portPath);
    }
    void start(const std::string& imagePath) override {
        m_form.nextFile = imagePath;
        m_form.Command2->click();
    }
    void closePort() override { m_form.MSComm1->close(); }

    QtSerialPort m_port;
    BenchForm1 m_form{&m_port};
};

}  // namespace

std::vector<std::string> simulatorFlags(const DeviceSetup& setup) {
    // --timeout bounds every silence of the program, --wait its start: a
    // responder that fails cannot leave the device waiting for ever.
    return {"--image-size",
            std::to_string(setup.imageSize),
            "--stats",
            "--timeout",
            "5",
            "--wait",
            "10"};
}

std::string awaitDevicePath(kit::ChildProcess& simulator) {
    std::string path = simulator.firstLine(kSimulatorStart);
    if (path.empty()) {
        simulator.sendSignal(SIGTERM);
        throw std::runtime_error(simulator.program() + " printed no terminal path: " +
                                 trimmed(simulator.finish(kLineFinish).err));
    }
    return path;
}

bool readVerdict(const std::string& output, UpdateRun& run) {
    const std::string line = findLine(output, "verdict:");
    const std::optional<sim::UpdateReport> verdict = sim::parseVerdict(line);
    if (!verdict) {
        run.ok = false;
        run.failure = line.empty() ? "oxu-device-sim printed no verdict"
                                   : "oxu-device-sim printed a verdict that does not read: " + line;
        return false;
    }
    run.ok = verdict->ok;
    run.timeMs = static_cast<double>(verdict->elapsed.count()) / 1000.0;
    const std::optional<sim::RoundTripStats> stats = sim::parseStats(findLine(output, "stats:"));
    if (stats && stats->count > 0) {
        run.rttMedianUs = static_cast<double>(stats->medianUs);
        run.rttP99Us = static_cast<double>(stats->p99Us);
        run.rttMaxUs = static_cast<double>(stats->maxUs);
    }
    if (!run.ok) {
        run.failure = "the simulated device reports a failed update: " +
                      (verdict->reason.empty() ? line : verdict->reason);
    }
    return run.ok;
}

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
        const std::string devicePath = awaitDevicePath(simulator);
        std::optional<PacedLine> line;
        if (setup.baud)
            line.emplace(devicePath, *setup.baud);
        const std::string failure =
            responder.serve(line ? line->programPath() : devicePath, imagePath, setup.timeout);
        if (line)
            run.line = line->finish(kLineFinish);
        // After a failure the device would wait out its own timeout first.
        if (!failure.empty())
            simulator.sendSignal(SIGTERM);
        readVerdict(simulator.finish(kVerdictWait).out, run);
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
