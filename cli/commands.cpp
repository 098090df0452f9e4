#include "cli/commands.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>

#include "cli/terminal_window.h"
#include "protocol/download_command.h"
#include "protocol/port_setup.h"
#include "runs/interrupts.h"
#include "serial/port_mapping.h"
#include "serial/qt_serial_port.h"
#include "serial/traced_port.h"
#include "serial/usb_adapter.h"

namespace oxu::cli {
namespace {

// With --trace: once per open, what the line's driver said to low latency.
void traceLowLatency(const QtSerialPort& serial) {
    if (serial.lowLatency().outcome != LowLatency::NotTried)
        printLine(serial.describe() + ": " + describeLowLatency(serial.lowLatency()));
}

// Closes the port at the end of a run; a close that could not write out
// what was queued says so, once.
void closePort(SerialPort& port) {
    if (const std::optional<std::string> failure = closeQuietly(port))
        printLine(*failure);
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
            if (got < 0 && errno == EINTR && runs::caughtSignal() == 0)
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

int runDownload(const Options& options) {
    SteadyClock clock;
    QtSerialPort serial;
    TracedPort port(serial, clock, options.trace ? &std::cerr : nullptr);
    if (options.device)
        serial.setDevicePath(options.port, *options.device);
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
    if (runs::caughtSignal() != 0) {
        closePort(port);
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
            closePort(port);
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
        static_cast<void>(std::filesystem::canonical(resolution.device, error));
        if (error) {
            std::cout << line << "  not present: " << error.message() << '\n';
            continue;
        }
        const UsbAdapter adapter = findUsbAdapter(resolution.device);
        if (!adapter.listed) {
            std::cout << line << "  (no hardware behind it in sysfs)\n";
            continue;
        }
        auto field = [](const std::string& value) { return value.empty() ? "-" : value; };
        std::cout << line << "  description: " << field(adapter.product)
                  << ", manufacturer: " << field(adapter.manufacturer)
                  << ", serial number: " << field(adapter.serialNumber) << '\n';
    }
    std::cout << std::flush;
    return kExitComplete;
}

}  // namespace oxu::cli
