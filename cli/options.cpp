#include "cli/options.h"

#include <QCommandLineParser>
#include <cmath>
#include <cstdlib>

namespace oxu::cli {
namespace {

using runs::parseDigits;
const auto toBytes = runs::argumentBytes;  // paths come back as typed

std::chrono::milliseconds parseSettleOption(const std::string& text) {
    const auto value = parseDigits(text);
    if (!value || *value > kMaxSettle.count())
        throw UsageError("--settle must be a number of milliseconds from 0 to " +
                         std::to_string(kMaxSettle.count()) + ", not \"" + text + "\"");
    return std::chrono::milliseconds(*value);
}

std::chrono::milliseconds parseTimeoutOption(const std::string& text) {
    // Plain decimal notation only: no sign, exponent, hex, inf or nan.
    char* end = nullptr;
    const bool plain = !text.empty() && text.find_first_not_of("0123456789.") == text.npos;
    const double ms = plain ? std::round(std::strtod(text.c_str(), &end) * 1000.0) : 0.0;
    // Range checked before the conversion: a huge number has no llround.
    if (end != text.c_str() + text.size() || !(ms >= kMinTimeout.count()) ||
        !(ms <= kMaxTimeout.count()))
        throw UsageError("--timeout must be a number of seconds from 1 to 86400, not \"" + text +
                         "\"");
    return std::chrono::milliseconds(static_cast<long long>(ms));
}

// The first argument that gave option `name` ("--name[=VALUE]", or "-abc" holding the letter),
// with '=' if `withValue`, or "". The parser reports names; messages quote what was typed.
std::string findArgument(const QStringList& line, const QString& name, bool withValue) {
    for (const QString& arg : line) {
        const bool named = arg.startsWith("--")
                               ? arg.mid(2).section('=', 0, 0) == name
                               : arg.startsWith('-') && name.size() == 1 && arg.indexOf(name) > 0;
        if (named && (!withValue || arg.contains('=')))
            return toBytes(arg);
    }
    return {};
}

}  // namespace

Options parseCommandLine(const std::vector<std::string>& args) {
    // Help and the version are plain flags, not the parser's own, which would
    // also answer to -?, --help-all and -v.
    const QCommandLineOption help(QStringList{"h", "help"}), yes(QStringList{"y", "yes"}),
        trace("trace"), version("version"), listPorts("list-ports"), download("download-command"),
        checkPort("check-port"), json("json"), wait("wait"), downloadFirst("download-first"),
        quiet(QStringList{"q", "quiet"}), verbose("verbose");
    const QCommandLineOption port("port", {}, "N"), ports("ports", {}, "LIST"),
        device("device", {}, "PATH"), baud("baud", {}, "B"), timeout("timeout", {}, "S"),
        retry("retry", {}, "N"), log("log", {}, "FILE"), settle("settle", {}, "MS");
    const QList<QCommandLineOption> all{
        help,  yes,    trace, version, listPorts, checkPort, download,      json,   wait,  port,
        ports, device, baud,  timeout, retry,     log,       downloadFirst, settle, quiet, verbose};
    // What only an update does.
    const QCommandLineOption updateOnly[] = {ports, retry,         json,  log,
                                             wait,  downloadFirst, quiet, verbose};
    const std::pair<QCommandLineOption, Mode> commands[] = {{download, Mode::DownloadCommand},
                                                            {listPorts, Mode::ListPorts},
                                                            {checkPort, Mode::CheckPort},
                                                            {version, Mode::Version}};

    QCommandLineParser parser;
    parser.addOptions(all);
    QStringList line{kProgramName};
    for (const std::string& arg : args)
        line << QString::fromLatin1(arg);
    const bool parsed = parser.parse(line);
    const QStringList typed = line.mid(0, line.indexOf("--"));  // before "--" ends the options

    Options options;
    // Help wins over everything else on the line (even "--port --help"), so it always works.
    if (parser.isSet(help) || typed.contains("--help") || typed.contains("-h")) {
        options.mode = Mode::Help;
        return options;
    }
    // The parser refuses unknown options, a missing value and a flag given one: say which.
    if (!parsed) {
        if (const QStringList unknown = parser.unknownOptionNames(); !unknown.isEmpty())
            throw UsageError("unknown option \"" + findArgument(line, unknown[0], false) + "\"");
        for (const QCommandLineOption& option : all) {
            const bool flag = option.valueName().isEmpty();
            qsizetype given = 0;
            for (const QString& name : option.names()) {
                given += parser.optionNames().count(name);
                const std::string arg = findArgument(line, name, true);
                if (flag && parser.isSet(option) && !arg.empty())
                    throw UsageError(arg.substr(0, arg.find('=')) + " takes no value");
            }
            if (!flag && given > parser.values(option).size())
                throw UsageError("--" + toBytes(option.names().last()) + " needs a value");
        }
        throw UsageError(toBytes(parser.errorText()));
    }

    // Every value is checked. Ports add up, in the order given, whichever
    // option names them; of the other values the last one given counts.
    const auto [numbers, devices] = runs::readPortOptions(parser);
    for (const QString& value : parser.values(baud))
        options.baud = runs::parseBaudRate(toBytes(value));
    for (const QString& value : parser.values(timeout))
        options.timeout = parseTimeoutOption(toBytes(value));
    for (const QString& value : parser.values(retry))
        options.retries = runs::parseRetryCount(toBytes(value));
    options.logPath = runs::readLogPath(parser);
    options.yes = parser.isSet(yes);
    options.trace = parser.isSet(trace);
    options.json = parser.isSet(json);
    options.station = parser.isSet(wait);
    if (parser.isSet(quiet) && parser.isSet(verbose))
        throw UsageError("--quiet and --verbose cannot be combined");
    options.verbosity = parser.isSet(quiet)     ? Verbosity::Quiet
                        : parser.isSet(verbose) ? Verbosity::Verbose
                                                : Verbosity::Normal;
    if (parser.isSet(settle) && !parser.isSet(downloadFirst))
        throw UsageError("--settle applies to --download-first only");
    if (parser.isSet(downloadFirst)) {
        if (parser.isSet(download))
            throw UsageError(
                "--download-first sends the download command before an update; "
                "it cannot be combined with --download-command");
        options.downloadFirst = kDefaultSettle;
        for (const QString& value : parser.values(settle))
            options.downloadFirst = parseSettleOption(toBytes(value));
    }

    for (const QString& name : parser.optionNames()) {
        for (const auto& [option, mode] : commands) {
            if (!option.names().contains(name))
                continue;
            if (options.mode != Mode::Update && options.mode != mode)
                throw UsageError("--" + toBytes(name) + " cannot be combined with another command");
            options.mode = mode;
        }
    }

    const QStringList files = parser.positionalArguments();
    if (options.mode != Mode::Update) {
        for (const QCommandLineOption& option : updateOnly) {
            if (parser.isSet(option))
                throw UsageError("--" + toBytes(option.names().last()) +
                                 " applies to updates only");
        }
    }
    if (options.mode == Mode::Update || options.mode == Mode::DownloadCommand ||
        options.mode == Mode::CheckPort) {
        // With no port named, port 1 stands in until one is chosen.
        options.ports = runs::pairPortRequests(numbers, devices);
        options.portNamed = !options.ports.empty();
        if (!options.portNamed)
            options.ports = {{kDefaultPort, std::nullopt}};
        options.port = options.ports.back().number;
        options.device = options.ports.back().device;
    }

    switch (options.mode) {
        case Mode::Update:
            if (files.empty())
                throw UsageError("no firmware file given");
            if (files.size() > 1)
                throw UsageError("one firmware file at a time, not \"" + toBytes(files[0]) +
                                 "\" and \"" + toBytes(files[1]) + "\"");
            if (options.yes)
                throw UsageError("--yes applies to --download-command only");
            options.file = toBytes(files[0]);
            break;
        case Mode::DownloadCommand:
            if (options.ports.size() > 1)
                throw UsageError("--download-command sends to one port at a time, not " +
                                 std::to_string(options.ports.size()));
            if (!files.empty())
                throw UsageError("--download-command takes no file (\"" + toBytes(files[0]) +
                                 "\")");
            break;
        case Mode::CheckPort:
            if (options.ports.size() > 1)
                throw UsageError("--check-port checks one port at a time, not " +
                                 std::to_string(options.ports.size()));
            if (!files.empty())
                throw UsageError("--check-port takes no file (\"" + toBytes(files[0]) + "\")");
            if (options.yes)
                throw UsageError("--yes applies to --download-command only");
            break;
        case Mode::ListPorts:
        case Mode::Version:
        case Mode::Help:
            if (!files.empty())
                throw UsageError("unexpected argument \"" + toBytes(files[0]) + "\"");
            if (!numbers.empty() || !devices.empty())
                throw UsageError("--list-ports and --version take no port");
            break;
    }
    return options;
}

std::string usageText() {
    return R"(Usage:
  oxu-update [--port N | --device PATH] [--baud B] [--timeout S] [--trace] FILE
  oxu-update [--port N]... [--ports LIST] [--device PATH]... [OPTIONS] FILE
  oxu-update --download-first [--settle MS] [--port N | --device PATH] FILE
  oxu-update --download-command [--port N | --device PATH] [--baud B] [--yes] [--trace]
  oxu-update --list-ports
  oxu-update --check-port [--port N | --device PATH]
  oxu-update --help | --version

Sends the firmware image FILE (at most 65,280 bytes, 255 pages) to the device
on a serial port, answering its page requests until it reports completion.
Given several ports, updates every device at once, then shows a summary.
FILE is read once, before any port opens: every port and every retry gets
those bytes, even if the file changes meanwhile (which is reported).

Options:
  --port N            serial port 1 to 16. Port N is the device named by the
                      environment variable OXU_COM<N> if set, otherwise the
                      Nth of /dev/ttyS* (with a UART), /dev/ttyUSB*,
                      /dev/ttyACM*; see --list-ports. Give it again for more
                      ports, updated at the same time.
                      With no --port, --ports or --device, the one USB serial
                      adapter plugged in is used, and named on the first
                      line; with none or several, nothing is opened: the
                      serial devices are listed, and the run stops (64).
                      A built-in serial port (/dev/ttyS*) is only used when
                      named.
  --ports LIST        several ports at once, e.g. 1-4,7 (at most 16 in all).
  --device PATH       use this device as the port, whatever OXU_COM<N> says.
                      Given several times, the Nth --device is the Nth port
                      named, or port N when no port is named.
  --baud B            9600, 19200 or 38400 (default 38400); always 8 data bits,
                      no parity, 1 stop bit.
  --timeout S         give up after S seconds without progress: no page asked
                      for and served, whatever else the device sends (1 to
                      86400, decimals allowed; default 10). The device's
                      silence is reported after one second either way.
  --trace             timestamped hex dump of every frame, both directions,
                      on standard error.
  --retry N           start the update again (header first), up to N times
                      (0 to 100; default 0), on each port whose update failed.
  --json              JSON Lines on standard output: one object per attempt
                      as it ends, then a summary; progress and messages go to
                      standard error.
  --log FILE          append audit records (JSON lines) to FILE: one as each
                      attempt starts (port, device and its /dev/serial names,
                      image path, size and SHA-256), one as it ends (the same
                      id, result, pages served, ...).
  --wait              station mode: wait for each port's device to appear,
                      update it, wait for it to go, then for the next one,
                      until Ctrl-C; shows each board's result (its number on
                      the port and the time) and a running tally.
  --quiet, -q         show only failures, the summary and the closing
                      "N of M complete" line: no progress.
  --verbose           a line for every page, even on a terminal.
  --download-first    before each attempt (every retry, every board), send
                      the download command (2F 55 AA), close the port, wait
                      for the device to enter its download mode, then
                      update it on the same port. No question is asked: the
                      option is the confirmation. A command that cannot be
                      sent ends the attempt (1); no update is tried.
  --settle MS         with --download-first: the wait between the command
                      and the update (0 to 60000 ms; default 500).
  --download-command  send the download command (2F 55 AA) instead of an
                      update. Asks for confirmation when standard input is a
                      terminal; without a terminal, --yes is required.
  --yes, -y           send the download command without asking.
  --list-ports        show what ports 1 to 16 map to, and what the system
                      knows of each device.
  --check-port        open the port as an update does and close it again,
                      sending nothing, then say what may stand in the way:
                      the device, its driver and USB adapter, access for
                      this user, other programs using it, ModemManager and
                      brltty, low latency and RTS.
  --help, -h          this text.
  --version           the version.

A value follows its option or an '=' (--port 3, --port=3); "--" ends the
options, e.g. before a FILE whose name begins with '-'.

Progress: on a terminal, one line that rewrites itself (one per port);
otherwise (or with --verbose) one line per page on standard output, each
starting with its port when there are several ("COM 3: page 017/160").
Messages and errors go to standard error. Several ports end with a summary
table on standard output and one line "N of M complete" (with --json,
everything for people goes to standard error).

Exit codes:
  0    the update completed (or the download command was sent; for
       --check-port: the port can be used)
  1    the update could not start (bad or unreadable file, port missing or in
       use, audit log that cannot be written, download command not sent with
       --download-first, ...); for --download-command:
       not sent (failure, or answered no); for --check-port: the port cannot
       be used, and why
  2    connection failed: nothing was heard from the device, and the tool
       gave up
  3    transfer interrupted: the device was heard but made no progress for
       the timeout (fell silent part-way, or sent what is no request)
  4    the port was lost during the update (device unplugged, line hung up,
       or a device that took no bytes for 3 seconds)
  5    some devices did not complete (see the summary): with several ports,
       or with --wait once a board has failed; one port keeps the codes above
  64   bad usage (unknown option, port outside 1 to 16, a port given twice or
       two ports on the same device, more than 16 ports, unknown baud rate,
       no terminal for the confirmation, no port named and not exactly one
       USB serial adapter, an empty FILE, ...)
  130  interrupted by Ctrl-C, SIGTERM or SIGHUP; every port was closed
)";
}

}  // namespace oxu::cli
