#include "cli/commands.h"

#include <unistd.h>

#include <QEventLoop>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <variant>

#include "cli/progress.h"
#include "cli/signal_watch.h"
#include "cli/terminal_window.h"
#include "cli/traced_port.h"
#include "protocol/download_command.h"
#include "protocol/firmware_image.h"
#include "protocol/update_transfer.h"
#include "protocol/watchdog.h"
#include "serial/port_mapping.h"
#include "serial/qt_serial_port.h"

namespace oxu::cli {
namespace {

// The watchdog's tick, as in the window, while the update is watched.
constexpr std::chrono::milliseconds kTickInterval{10};

void printLine(const std::string& text) {
    std::cerr << kProgramName << ": " << text << std::endl;
}

std::string formatSeconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

// With --trace: once per open, what the line's driver said to low latency.
void traceLowLatency(const QtSerialPort& serial) {
    if (serial.lowLatency().outcome != LowLatency::NotTried)
        printLine(serial.describe() + ": " + describeLowLatency(serial.lowLatency()));
}

// Closes the port at the end of a run; a close that could not write out
// what was queued says so, once.
void closeQuietly(SerialPort& port) {
    try {
        if (port.isOpen())
            port.close();
    } catch (const std::exception& failure) {
        printLine(failure.what());
    }
}

// A Yes/No question on the terminal. Yes is the default, as in the window's
// box. End of input, or a signal, answers No.
Answer askOnTerminal(const std::string& question) {
    for (;;) {
        std::cerr << question << " [Y/n] " << std::flush;
        std::string reply;
        char c = 0;
        bool ended = false;
        for (;;) {
            const ssize_t got = ::read(STDIN_FILENO, &c, 1);
            if (got == 1) {
                if (c == '\n')
                    break;
                reply += c;
                continue;
            }
            if (got < 0 && errno == EINTR && caughtSignal() == 0)
                continue;
            ended = true;
            break;
        }
        if (ended) {
            std::cerr << std::endl;
            return Answer::No;
        }
        if (reply.empty() || reply == "y" || reply == "Y" || reply == "yes" || reply == "Yes")
            return Answer::Yes;
        if (reply == "n" || reply == "N" || reply == "no" || reply == "No")
            return Answer::No;
        std::cerr << "Please answer y or n." << std::endl;
    }
}

}  // namespace

int runUpdate(const Options& options) {
    const FirmwareCheck firmware = checkFirmwareFile(options.file);
    if (!firmware.ok()) {
        printLine("the update could not start: " + firmware.problem);
        return kExitNotStarted;
    }

    SteadyClock clock;
    QtSerialPort serial;
    TracedPort port(serial, clock, options.trace ? &std::cerr : nullptr);
    TerminalWindow window(options.port, options.baud, std::cerr);
    window.setChosenFile(options.file);

    // A rewriting line only where someone watches it; logs get a line a page.
    const bool stderrIsTerminal = ::isatty(STDERR_FILENO) == 1;
    const bool stdoutIsTerminal = ::isatty(STDOUT_FILENO) == 1;
    std::ostream& progressOut = stderrIsTerminal ? std::cerr : std::cout;
    ProgressDisplay progress(
        progressOut, stderrIsTerminal || stdoutIsTerminal, clock,
        [&port] { return port.bytesWritten(); }, firmware.size);
    window.attachProgress(&progress);

    UpdateTransfer transfer(port, window, clock);
    Watchdog watchdog(transfer);

    QEventLoop loop;
    int exitCode = -1;
    auto finish = [&](int code) {
        if (exitCode >= 0)
            return;
        exitCode = code;
        loop.exit(code);
    };

    bool started = false;
    FunctionObserver observer([&](const UpdateEvent& event) {
        std::visit(Overloaded{
                       [&](const UpdateStarted&) { started = true; },
                       [&](const PageServed& served) { progress.showPage(served.page); },
                       [&](const PageZeroRequested&) { progress.showPage(0); },
                       [&](const UpdateCompleted&) {
                           progress.interrupt();
                           finish(kExitComplete);
                       },
                       [&](const PortLost&) { finish(kExitPortLost); },
                       [&](const WriteFailed&) { finish(kExitPortLost); },
                       // A silent device is reported at once; the run gives up only
                       // after --timeout (see the ticker below).
                       [](const auto&) {},
                   },
                   event);
    });
    transfer.setObserver(&observer);
    window.setEndHook([&] { finish(kExitInterrupted); });
    port.setDataReceivedHandler([&] { transfer.onDataReceived(); });
    port.setPortLostHandler(
        [&](const std::string& description) { transfer.onPortLost(description); });

    // The watchdog ticks only while the update is watched; the engine
    // switches the ticker. It reports one second of silence and stops
    // watching; the run gives up only after --timeout of silence, since a
    // device that speaks again re-arms it and the update can still complete.
    std::chrono::microseconds lastHeard{0};
    QTimer ticker;
    ticker.setInterval(kTickInterval);
    QTimer giveUp;
    giveUp.setSingleShot(true);
    auto armGiveUp = [&] {
        const auto silent =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - lastHeard);
        giveUp.start(std::max(options.timeout - silent + std::chrono::milliseconds(1),
                              std::chrono::milliseconds(0)));
    };
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (transfer.LastActivity != std::chrono::microseconds(0))
            lastHeard = transfer.LastActivity;
        watchdog.tick();
    });
    QObject::connect(&giveUp, &QTimer::timeout, [&] {
        if (exitCode >= 0 || transfer.LastActivity != std::chrono::microseconds(0))
            return;
        if (clock.now() - lastHeard <= options.timeout) {
            armGiveUp();
            return;
        }
        progress.interrupt();
        printLine("giving up: nothing heard from " + port.describe() + " for " +
                  formatSeconds(options.timeout) + " s");
        finish(transfer.AwaitingFirstReply ? kExitConnectionFailed : kExitTransferInterrupted);
    });
    window.setTickSwitch([&](bool run) {
        if (run) {
            lastHeard = transfer.LastActivity;
            giveUp.stop();
            ticker.start();
            return;
        }
        ticker.stop();
        // Nothing watched and the run not over: the watchdog has reported a
        // silence. Wait for the rest of --timeout, without waking before.
        if (exitCode < 0)
            armGiveUp();
    });

    try {
        transfer.startUpdate(options.file);
    } catch (const std::exception& failure) {
        if (options.trace)
            traceLowLatency(serial);
        port.flushTrace();
        progress.interrupt();
        printLine(std::string("the update could not start: ") + failure.what());
        closeQuietly(port);
        return kExitNotStarted;
    }
    if (options.trace)
        traceLowLatency(serial);
    port.flushTrace();
    if (!started) {
        // Checked a moment ago; it went away in between.
        printLine("the update could not start: the firmware file \"" + options.file +
                  "\" is no longer there");
        return kExitNotStarted;
    }
    printLine("sending \"" + options.file + "\" (" + std::to_string(firmware.size) + " bytes, " +
              std::to_string(pageCount(firmware.size)) + " pages) to " + port.describe() + " at " +
              std::to_string(options.baud) + " baud");

    QSocketNotifier signalNotifier(signalPipeFd(), QSocketNotifier::Read);
    signalNotifier.setEnabled(signalPipeFd() >= 0);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        drainSignalPipe();
        progress.interrupt();
        printLine("interrupted; closing " + port.describe());
        finish(kExitInterrupted);
    });

    if (exitCode < 0)
        loop.exec();
    ticker.stop();
    giveUp.stop();
    closeQuietly(port);
    return exitCode;
}

int runDownload(const Options& options) {
    SteadyClock clock;
    QtSerialPort serial;
    TracedPort port(serial, clock, options.trace ? &std::cerr : nullptr);
    TerminalWindow::Asker asker = askOnTerminal;
    if (options.yes) {
        asker = [](const std::string& question) {
            printLine(question + " yes (--yes)");
            return Answer::Yes;
        };
    }
    TerminalWindow window(options.port, options.baud, std::cerr, asker);

    const DownloadResult result = runDownloadCommand(port, window);
    port.flushTrace();
    if (options.trace)
        traceLowLatency(serial);
    if (caughtSignal() != 0) {
        closeQuietly(port);
        printLine("interrupted; nothing more sent");
        return kExitInterrupted;
    }
    switch (result.outcome) {
        case DownloadResult::Outcome::Declined:
            printLine("download command not sent");
            return kExitNotStarted;
        case DownloadResult::Outcome::Failed:
            // Already printed; a failed write leaves the port open, and
            // nothing more will be sent on it.
            closeQuietly(port);
            return kExitNotStarted;
        case DownloadResult::Outcome::Sent:
            break;
    }
    printLine("download command sent to " + port.describe() + " at " +
              std::to_string(options.baud) + " baud");
    return kExitComplete;
}

int listPorts() {
    const PortScan scan = systemPortScan();
    const QList<QSerialPortInfo> known = QSerialPortInfo::availablePorts();
    for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number) {
        const PortResolution resolution = resolvePort(number, scan);
        std::string line = (number < 10 ? " " : "") + std::to_string(number) + "  ";
        if (!resolution.found()) {
            std::cout << line << "(no device)\n";
            continue;
        }
        line += resolution.device;
        if (resolution.fromEnvironment)
            line += " (from " + portVariableName(number) + ")";

        std::error_code error;
        const std::filesystem::path target = std::filesystem::canonical(resolution.device, error);
        if (error) {
            std::cout << line << "  not present: " << error.message() << '\n';
            continue;
        }
        const QString location = QString::fromStdString(target.string());
        const QSerialPortInfo* info = nullptr;
        for (const QSerialPortInfo& candidate : known) {
            if (candidate.systemLocation() == location)
                info = &candidate;
        }
        if (info == nullptr) {
            std::cout << line << "  (not known to Qt Serial Port)\n";
            continue;
        }
        auto field = [](const QString& value) {
            return value.isEmpty() ? std::string("-") : value.toStdString();
        };
        std::cout << line << "  description: " << field(info->description())
                  << ", manufacturer: " << field(info->manufacturer())
                  << ", serial number: " << field(info->serialNumber()) << '\n';
    }
    std::cout << std::flush;
    return kExitComplete;
}

}  // namespace oxu::cli
