#include "station/command_line.h"

#include <QCommandLineParser>
#include <algorithm>
#include <ostream>
#include <stdexcept>

#include "oxu_version.h"
#include "runs/port_requests.h"

namespace oxu::station {
namespace {

constexpr const char* kUsage =
    "Usage: oxu-station [--log FILE] [--retry N] [--baud B]\n"
    "                   [--port N | --ports LIST | --device PATH]... [IMAGE]\n";

constexpr const char* kHelp = R"(
The station window: one tile per serial port (up to 16) showing which board
is done, which failed and why. "Start" sends IMAGE to every port once;
"Station mode" flashes each board as it is plugged in and waits for it to be
removed, until "Stop". The image can also be chosen in the window.

  --port N         serial port 1 to 16 (OXU_COM<N> names its device, otherwise
                   the Nth serial device); give it again for more ports.
  --ports LIST     several ports at once, e.g. 1-4,7.
  --device PATH    use this device as the port; the Nth --device is the Nth
                   port named, or port N when no port is named.
                   With no port named, the window shows every serial port
                   the system lists, USB adapters first; a built-in serial
                   port (/dev/ttyS*) is shown but only used when named.
  --baud B         9600, 19200 or 38400 (default 38400).
  --retry N        start a failed update again, up to N times (0 to 100).
  --log FILE       append audit records (JSON lines) to FILE, as oxu-update
                   --log does; the same file may be shared.
  -h, --help       show this text and exit
  --version        show the version and exit

Exit codes: 0 when the window was closed; 1 without a display; 64 for bad
usage; 130 when SIGINT, SIGTERM or SIGHUP ended it (a run is stopped first:
every port closed, every record written).
)";

using runs::argumentBytes;

StationOptions parse(const std::vector<std::string>& args) {
    const QCommandLineOption port("port", {}, "N"), ports("ports", {}, "LIST"),
        device("device", {}, "PATH"), baud("baud", {}, "B"), retry("retry", {}, "N"),
        log("log", {}, "FILE");
    QCommandLineParser parser;
    parser.addOptions({port, ports, device, baud, retry, log});
    QStringList line{kProgramName};
    for (const std::string& arg : args)
        line << QString::fromLatin1(arg);
    if (!parser.parse(line))
        throw runs::OptionError(argumentBytes(parser.errorText()));

    // The values every front end reads alike, in the same words when bad.
    StationOptions options;
    runs::PortOptions named = runs::readPortOptions(parser);
    for (const QString& value : parser.values(baud))
        options.baud = runs::parseBaudRate(argumentBytes(value));
    for (const QString& value : parser.values(retry))
        options.retries = runs::parseRetryCount(argumentBytes(value));
    options.logPath = runs::readLogPath(parser);
    options.ports = runs::pairPortRequests(std::move(named.numbers), named.devices);

    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        throw runs::OptionError("one image at a time, not \"" + argumentBytes(files[0]) +
                                "\" and \"" + argumentBytes(files[1]) + "\"");
    if (!files.empty())
        options.image = argumentBytes(files[0]);
    return options;
}

}  // namespace

std::variant<StationOptions, int> parseStationCommandLine(const std::vector<std::string>& args,
                                                          std::ostream& out, std::ostream& err) {
    // Help and the version answer whatever else is on the line, up to "--".
    const auto end = std::find(args.begin(), args.end(), "--");
    if (std::find_if(args.begin(), end, [](const std::string& arg) {
            return arg == "--help" || arg == "-h";
        }) != end) {
        out << kUsage << kHelp;
        return 0;
    }
    if (std::find(args.begin(), end, "--version") != end) {
        out << kProgramName << ' ' << kVersion << '\n';
        return 0;
    }
    try {
        return parse(args);
    } catch (const std::invalid_argument& error) {
        err << kProgramName << ": " << error.what() << '\n'
            << kUsage << "Try 'oxu-station --help' for more information.\n";
        return kExitUsage;
    }
}

}  // namespace oxu::station
