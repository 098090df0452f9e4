#pragma once

// The command line of oxu-update: what to do, on which port, at which speed.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "oxu_version.h"
#include "protocol/line_choices.h"
#include "runs/port_requests.h"

namespace oxu::cli {

// Exit codes, as documented in --help: those of a run, and bad usage.
using runs::kExitComplete;
using runs::kExitConnectionFailed;
using runs::kExitInterrupted;
using runs::kExitNotStarted;
using runs::kExitPortLost;
using runs::kExitSomeFailed;
using runs::kExitTransferInterrupted;
inline constexpr int kExitUsage = 64;

inline constexpr const char* kProgramName = "oxu-update";
inline constexpr const char* kVersionText = kVersion;

// The port of Options before the operator names one; a run never uses it
// unnamed (see chooseDefaultPort).
inline constexpr int kDefaultPort = 1;
inline constexpr int kDefaultBaud = kDefaultLineChoice.baud;
inline constexpr std::chrono::milliseconds kDefaultTimeout{10'000};
// The watchdog reports after one second of silence; giving up sooner would
// end the run before the operator is told why.
inline constexpr std::chrono::milliseconds kMinTimeout{1'000};
inline constexpr std::chrono::milliseconds kMaxTimeout{86'400'000};
// --download-first: the wait after the command before the update opens the
// port again (--settle, in milliseconds).
inline constexpr std::chrono::milliseconds kDefaultSettle{500};
inline constexpr std::chrono::milliseconds kMaxSettle{60'000};

// Bad command-line input. what() is the one line shown to the user.
using UsageError = runs::OptionError;

enum class Mode { Update, DownloadCommand, ListPorts, CheckPort, Help, Version };

// How much of a run people are shown: Quiet, the failures and the end
// alone; Verbose, a line for every page even on a terminal.
enum class Verbosity { Quiet, Normal, Verbose };

// One port of a run: its number, and the device it maps to when --device
// named one.
using PortChoice = runs::PortRequest;

struct Options {
    Mode mode = Mode::Update;
    int port = kDefaultPort;            // the last port named: the port of a one-port run
    std::optional<std::string> device;  // the last --device: the path `port` maps to
    // Update, download command and port check: every port, in the order
    // given, at least one. Several make an update of several devices at once.
    std::vector<PortChoice> ports;
    bool portNamed = false;  // --port, --ports or --device given; otherwise ports is a placeholder
    int baud = kDefaultBaud;
    std::chrono::milliseconds timeout = kDefaultTimeout;
    bool yes = false;                    // --yes: no confirmation for the download command
    bool trace = false;                  // --trace: hex dump of the wire on stderr
    std::string file;                    // the firmware image (update mode only)
    int retries = 0;                     // --retry: further attempts on a port whose update failed
    bool json = false;                   // --json: JSON Lines on stdout, people's text on stderr
    std::optional<std::string> logPath;  // --log: the audit log to append to
    bool station = false;                // --wait: flash board after board until Ctrl-C
    // --download-first: the settle time after the download command that
    // goes before every attempt; unset without the option.
    std::optional<std::chrono::milliseconds> downloadFirst;
    Verbosity verbosity = Verbosity::Normal;  // --quiet, --verbose
};

// Parses argv[1..]. Options take their value as the next argument or after
// '='; "--" ends the options. Ports come from --port (each time it is given)
// and --ports ("1-4,7"), in the order given; the Nth --device is the device
// of the Nth port, or of port N when no port is named. Throws UsageError
// naming the offending argument for an unknown option, a missing or bad
// value, a port outside 1..16, a port given twice, more than 16 ports, more
// or fewer devices than ports, a baud rate not in kLineChoices, a missing or
// extra file, two modes, or an update option with another command.
Options parseCommandLine(const std::vector<std::string>& args);

// The --help text, exit codes included.
std::string usageText();

}  // namespace oxu::cli
