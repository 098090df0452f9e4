#include "cli/gang.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <iostream>
#include <memory>

#include "cli/gang_display.h"
#include "cli/port_choice.h"
#include "cli/presenters.h"
#include "cli/terminal_window.h"
#include "runs/audit_log.h"
#include "runs/interrupts.h"
#include "runs/scheduler.h"
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
    runs::SchedulerSetup setup;
    setup.mode = options.station             ? runs::RunMode::Station
                 : options.ports.size() == 1 ? runs::RunMode::Single
                                             : runs::RunMode::Gang;
    setup.ports = options.ports;
    // Refused before anything opens, as bad usage.
    if (const auto shared = runs::findSharedDevice(setup.ports)) {
        const auto name = [&](std::size_t i) {
            const runs::PortRequest& port = setup.ports[i];
            return "COM " + std::to_string(port.number) + " (" + runs::deviceFor(port) + ")";
        };
        printLine(name(shared->first) + " and " + name(shared->second) + " are the same device (" +
                  shared->device + "); give each port its own");
        return kExitUsage;
    }

    // The image is read once, before any port opens; every attempt sends it.
    std::optional<runs::ImageSnapshot> image;
    std::unique_ptr<runs::AuditLog> log;
    try {
        image = runs::ImageSnapshot::take(options.file);
        if (options.logPath)
            log = std::make_unique<runs::AuditLog>(*options.logPath);
    } catch (const std::exception& failure) {
        printLine(std::string("the update could not start: ") + failure.what());
        return kExitNotStarted;
    }
    // Checked again on the bytes read: the file may have been emptied since.
    if (image->size() == 0) {
        printLine(describeEmptyImage(options.file));
        return kExitUsage;
    }
    setup.baud = options.baud;
    setup.timeout = options.timeout;
    setup.retries = options.retries;
    setup.downloadFirst = options.downloadFirst;
    setup.context = {kProgramName, kVersionText, runs::hostName(), options.baud};
    setup.runId = runs::newRunId();

    runs::LoopClock clock;
    TerminalPorts ports(options, clock);
    // Lines rewritten in place only on a terminal, and not where a trace or
    // JSON on the same terminal would run through them.
    const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    const bool live = setup.mode != runs::RunMode::Single && stderrIsTerminal && !options.trace &&
                      !(options.json && ::isatty(STDOUT_FILENO) == 1);
    // With --json, standard output carries JSON alone.
    std::ostream& humanOut = options.json ? std::cerr : std::cout;
    std::unique_ptr<Presenter> presenter =
        setup.mode == runs::RunMode::Single
            ? makeSinglePresenter(options, *image, clock)
            : makeGangPresenter(options, *image, clock, live, terminalColumns(),
                                live ? std::cerr : humanOut, humanOut);
    JsonLines json(std::cout);
    std::vector<runs::RecordSink*> sinks;
    if (log)
        sinks.push_back(log.get());
    if (options.json)
        sinks.push_back(&json);

    runs::Scheduler scheduler(setup, *image, {ports, clock, *presenter, sinks, &ports.system()});
    QEventLoop loop;
    scheduler.setFinishedHandler([&loop] { loop.exit(0); });
    QSocketNotifier signalNotifier(runs::signalPipeFd(), QSocketNotifier::Read);
    signalNotifier.setEnabled(runs::signalPipeFd() >= 0);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&scheduler] {
        runs::drainSignalPipe();
        scheduler.interrupt();
    });
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
