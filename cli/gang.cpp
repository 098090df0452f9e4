#include "cli/gang.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <QEventLoop>
#include <QTimer>
#include <iostream>
#include <memory>

#include "cli/gang_display.h"
#include "cli/port_choice.h"
#include "cli/presenters.h"
#include "cli/terminal_window.h"
#include "runs/interrupts.h"
#include "runs/run_setup.h"
#include "serial/line_control.h"
#include "serial/qt_serial_port.h"
#include "serial/traced_port.h"

namespace oxu::cli {
namespace {

// The system's ports; with --trace, each wrapped to dump its frames (and
// what its driver said to low latency) on standard error, behind its port
// when there are several.
class TerminalPorts final : public runs::PortFactory {
public:
    TerminalPorts(const Options& options, const Clock& clock)
        : m_trace(options.trace), m_several(options.ports.size() > 1), m_clock(clock) {}

    runs::PortIdentity identify(const runs::PortRequest& request) override {
        return m_system.identify(request);
    }
    std::unique_ptr<SerialPort> makePort(const runs::PortRequest& request,
                                         const runs::PortIdentity& identity) override {
        auto port = m_system.makePort(request, identity);
        if (!m_trace)
            return port;
        const std::string prefix = m_several ? "COM " + std::to_string(request.number) + ": " : "";
        const auto* serial = dynamic_cast<const QtSerialPort*>(port.get());
        auto traced = std::make_unique<TracedPort>(std::move(port), m_clock, &std::cerr);
        traced->setLinePrefix(prefix);
        traced->setOpenedHandler([serial, prefix] {
            if (serial != nullptr && serial->lowLatency().outcome != LowLatency::NotTried)
                std::cerr << prefix << serial->describe() << ": "
                          << describeLowLatency(serial->lowLatency()) << std::endl;
        });
        return traced;
    }

    runs::SystemPorts& system() { return m_system; }

private:
    bool m_trace;
    bool m_several;
    const Clock& m_clock;
    runs::SystemPorts m_system;
};

int terminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

}  // namespace

int runUpdate(const Options& options) {
    // The image is read once, before any port opens; every attempt sends it.
    std::unique_ptr<runs::PreparedRun> run;
    try {
        run = runs::prepareRun({options.ports, options.file, options.logPath, options.station,
                                options.baud, options.timeout, options.retries, kProgramName,
                                kVersionText, options.downloadFirst});
    } catch (const runs::RunNotStarted& failure) {
        // Two ports on one device or an empty image are bad usage.
        printLine(failure.badRequest
                      ? failure.what()
                      : std::string("the update could not start: ") + failure.what());
        return failure.badRequest ? kExitUsage : kExitNotStarted;
    }
    const runs::SchedulerSetup& setup = run->setup;
    const runs::ImageSnapshot& image = run->image;

    runs::LoopClock clock;
    TerminalPorts ports(options, clock);
    // Lines rewritten in place only on a terminal, and not where a trace or
    // JSON on the same terminal would run through them, nor where every page
    // gets its line (--verbose) or none does (--quiet).
    const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    const bool live = setup.mode != runs::RunMode::Single && stderrIsTerminal && !options.trace &&
                      !(options.json && ::isatty(STDOUT_FILENO) == 1) &&
                      options.verbosity == Verbosity::Normal;
    // With --json, standard output carries JSON alone.
    std::ostream& humanOut = options.json ? std::cerr : std::cout;
    std::unique_ptr<Presenter> presenter =
        setup.mode == runs::RunMode::Single
            ? makeSinglePresenter(options, image, clock)
            : makeGangPresenter(options, image, clock, live, terminalColumns(),
                                live ? std::cerr : humanOut, humanOut);
    JsonLines json(std::cout);
    std::vector<runs::RecordSink*> sinks = run->sinks();
    if (options.json)
        sinks.push_back(&json);

    runs::Scheduler scheduler(setup, image, {ports, clock, *presenter, sinks, &ports.system()});
    QEventLoop loop;
    scheduler.setFinishedHandler([&loop] { loop.exit(0); });
    const auto signalWatch = runs::watchSignals([&scheduler] { scheduler.interrupt(); });
    QTimer refresh;
    refresh.setInterval(GangDisplay::kRedrawInterval);
    QObject::connect(&refresh, &QTimer::timeout, [&presenter] { presenter->refresh(); });
    if (live)
        refresh.start();

    scheduler.start();
    if (!scheduler.finished())
        loop.exec();
    return scheduler.summary().exitCode;
}

}  // namespace oxu::cli
