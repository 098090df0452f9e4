#include "cli/options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace oxu::cli {
namespace {

// The value of a decimal integer written only with digits, or nothing.
std::optional<long> parseDigits(const std::string& text) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text[0] == '-' ||
        text[0] == '+')
        return std::nullopt;
    return value;
}

int parsePortOption(const std::string& text) {
    const auto value = parseDigits(text);
    if (!value || *value < kFirstPortNumber || *value > kLastPortNumber)
        throw UsageError("--port must be a number from " + std::to_string(kFirstPortNumber) +
                         " to " + std::to_string(kLastPortNumber) + ", not \"" + text + "\"");
    return static_cast<int>(*value);
}

int parseBaudOption(const std::string& text) {
    const auto value = parseDigits(text);
    if (!value || findLineChoiceByBaud(static_cast<int>(*value)) == nullptr)
        throw UsageError("--baud must be " + listBaudRates() + ", not \"" + text + "\"");
    return static_cast<int>(*value);
}

std::chrono::milliseconds parseTimeoutOption(const std::string& text) {
    const std::string problem =
        "--timeout must be a number of seconds from 1 to 86400, not \"" + text + "\"";
    // Plain decimal notation only: no sign, exponent, hex, inf or nan.
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
        throw UsageError(problem);
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(seconds))
        throw UsageError(problem);
    const auto timeout = std::chrono::milliseconds(std::llround(seconds * 1000.0));
    if (timeout < kMinTimeout || timeout > kMaxTimeout)
        throw UsageError(problem);
    return timeout;
}

void selectMode(Options& options, Mode mode, bool& chosen, const std::string& flag) {
    if (chosen && options.mode != mode)
        throw UsageError(flag + " cannot be combined with another command");
    options.mode = mode;
    chosen = true;
}

}  // namespace

Options parseCommandLine(const std::vector<std::string>& args) {
    Options options;
    // Help wins over everything else on the line, so it always works.
    for (const std::string& arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            options.mode = Mode::Help;
            return options;
        }
    }

    bool modeChosen = false;
    bool portGiven = false;
    std::vector<std::string> files;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            files.insert(files.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                         args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }

        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const auto equals = arg.find('=');
            arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            inlineValue = arg.substr(equals + 1);
        }
        auto takeValue = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                throw UsageError(name + " needs a value");
            return args[++i];
        };
        auto noValue = [&] {
            if (inlineValue)
                throw UsageError(name + " takes no value");
        };

        if (name == "--port") {
            options.port = parsePortOption(takeValue());
            portGiven = true;
        } else if (name == "--device") {
            const std::string device = takeValue();
            if (device.empty())
                throw UsageError("--device needs a device path, e.g. /dev/ttyUSB0");
            options.device = device;
        } else if (name == "--baud") {
            options.baud = parseBaudOption(takeValue());
        } else if (name == "--timeout") {
            options.timeout = parseTimeoutOption(takeValue());
        } else if (name == "--yes" || name == "-y") {
            noValue();
            options.yes = true;
        } else if (name == "--trace") {
            noValue();
            options.trace = true;
        } else if (name == "--download-command") {
            noValue();
            selectMode(options, Mode::DownloadCommand, modeChosen, name);
        } else if (name == "--list-ports") {
            noValue();
            selectMode(options, Mode::ListPorts, modeChosen, name);
        } else if (name == "--version") {
            noValue();
            selectMode(options, Mode::Version, modeChosen, name);
        } else {
            throw UsageError("unknown option \"" + arg + "\"");
        }
    }

    switch (options.mode) {
        case Mode::Update:
            if (files.empty())
                throw UsageError("no firmware file given");
            if (files.size() > 1)
                throw UsageError("one firmware file at a time, not \"" + files[0] + "\" and \"" +
                                 files[1] + "\"");
            if (options.yes)
                throw UsageError("--yes applies to --download-command only");
            options.file = files[0];
            break;
        case Mode::DownloadCommand:
            if (!files.empty())
                throw UsageError("--download-command takes no file (\"" + files[0] + "\")");
            break;
        case Mode::ListPorts:
        case Mode::Version:
        case Mode::Help:
            if (!files.empty())
                throw UsageError("unexpected argument \"" + files[0] + "\"");
            if (portGiven || options.device)
                throw UsageError("--list-ports and --version take no port");
            break;
    }
    return options;
}

std::string usageText() {
    return R"(Usage:
  oxu-update [--port N | --device PATH] [--baud B] [--timeout S] [--trace] FILE
  oxu-update --download-command [--port N | --device PATH] [--baud B] [--yes] [--trace]
  oxu-update --list-ports
  oxu-update --help | --version

Sends the firmware image FILE (at most 65,280 bytes, 255 pages) to the device
on a serial port, answering its page requests until it reports completion.

Options:
  --port N            serial port 1 to 16 (default 1). Port N is the device
                      named by the environment variable OXU_COM<N> if set,
                      otherwise the Nth of /dev/ttyS* (with a UART),
                      /dev/ttyUSB*, /dev/ttyACM*; see --list-ports.
  --device PATH       use this device as the port (sets OXU_COM<N> for it).
  --baud B            9600, 19200 or 38400 (default 38400); always 8 data bits,
                      no parity, 1 stop bit.
  --timeout S         give up after S seconds without a byte from the device
                      (1 to 86400, decimals allowed; default 10). The device's
                      silence is reported after one second either way.
  --trace             timestamped hex dump of every frame, both directions,
                      on standard error.
  --download-command  send the download command (2F 55 AA) instead of an
                      update. Asks for confirmation when standard input is a
                      terminal; without a terminal, --yes is required.
  --yes, -y           send the download command without asking.
  --list-ports        show what ports 1 to 16 map to, and what the system
                      knows of each device.
  --help, -h          this text.
  --version           the version.

Progress: on a terminal, one line that rewrites itself; otherwise one line per
page on standard output. Messages and errors go to standard error.

Exit codes:
  0    the update completed (or the download command was sent)
  1    the update could not start (bad or unreadable file, port missing or in
       use, ...); for --download-command: not sent (failure, or answered no)
  2    "Connection Failed": the device never answered, and the tool gave up
  3    "Transfer Interrupted": the device fell silent part-way, and the tool
       gave up
  4    the port was lost during the update (device unplugged or line hung up)
  64   bad usage (unknown option, port outside 1 to 16, unknown baud rate, no
       terminal for the confirmation, ...)
  130  interrupted by Ctrl-C or SIGTERM; the port was closed
)";
}

}  // namespace oxu::cli
