#include "cli/gang.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <iostream>
#include <map>
#include <memory>
#include <streambuf>

#include "cli/gang_display.h"
#include "cli/presenters.h"
#include "cli/signal_watch.h"
#include "cli/traced_port.h"
#include "runs/audit_log.h"
#include "runs/scheduler.h"
#include "serial/line_control.h"
#include "serial/qt_serial_port.h"

namespace oxu::cli {
namespace {

void printLine(const std::string& text) {
    std::cerr << kProgramName << ": " << text << std::endl;
}

// Writes to another stream, starting every line with a prefix: the trace of
// one port among several.
class PrefixedLines final : public std::streambuf {
public:
    PrefixedLines(std::ostream& out, std::string prefix)
        : m_out(out), m_prefix(std::move(prefix)) {}

protected:
    int overflow(int c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        if (m_lineStart)
            m_out << m_prefix;
        m_out.put(traits_type::to_char_type(c));
        m_lineStart = c == '\n';
        return c;
    }
    int sync() override {
        m_out.flush();
        return 0;
    }

private:
    std::ostream& m_out;
    std::string m_prefix;
    bool m_lineStart = true;
};

// The system's ports; with --trace, each wrapped to dump its frames (and
// what its driver said to low latency) on standard error, prefixed with its
// port when there are several.
class TerminalPorts final : public runs::PortFactory {
public:
    TerminalPorts(const Options& options, const Clock& clock) : m_clock(clock) {
        if (!options.trace)
            return;
        for (const PortChoice& choice : options.ports) {
            Trace& trace = m_traces[choice.number];
            if (options.ports.size() == 1)
                continue;
            trace.lines = std::make_unique<PrefixedLines>(
                std::cerr, "COM " + std::to_string(choice.number) + ": ");
            trace.stream = std::make_unique<std::ostream>(trace.lines.get());
        }
    }

    runs::PortIdentity identify(const runs::PortRequest& request) override {
        return m_system.identify(request);
    }
    std::unique_ptr<SerialPort> makePort(const runs::PortRequest& request,
                                         const runs::PortIdentity& identity) override {
        auto port = m_system.makePort(request, identity);
        const auto trace = m_traces.find(request.number);
        if (trace == m_traces.end())
            return port;
        std::ostream& out = trace->second.stream ? *trace->second.stream : std::cerr;
        const auto* serial = dynamic_cast<const QtSerialPort*>(port.get());
        auto traced = std::make_unique<TracedPort>(std::move(port), m_clock, &out);
        if (serial != nullptr) {
            traced->setOpenedHandler([serial, &out] {
                if (serial->lowLatency().outcome != LowLatency::NotTried)
                    out << serial->describe() << ": " << describeLowLatency(serial->lowLatency())
                        << std::endl;
            });
        }
        return traced;
    }

    runs::SystemPorts& system() { return m_system; }

private:
    struct Trace {
        std::unique_ptr<PrefixedLines> lines;
        std::unique_ptr<std::ostream> stream;
    };

    const Clock& m_clock;
    runs::SystemPorts m_system;
    std::map<int, Trace> m_traces;
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
    for (const PortChoice& choice : options.ports)
        setup.ports.push_back({choice.number, choice.device});
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
    setup.baud = options.baud;
    setup.timeout = options.timeout;
    setup.retries = options.retries;
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
    QSocketNotifier signalNotifier(signalPipeFd(), QSocketNotifier::Read);
    signalNotifier.setEnabled(signalPipeFd() >= 0);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&scheduler] {
        drainSignalPipe();
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
