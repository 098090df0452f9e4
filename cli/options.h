#pragma once

// The command line of oxu-update: what to do, on which port, at which speed.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "oxu_version.h"
#include "protocol/line_choices.h"

namespace oxu::cli {

// Exit codes, as documented in --help.
inline constexpr int kExitComplete = 0;
inline constexpr int kExitNotStarted = 1;
inline constexpr int kExitConnectionFailed = 2;
inline constexpr int kExitTransferInterrupted = 3;
inline constexpr int kExitPortLost = 4;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitInterrupted = 130;

inline constexpr const char* kProgramName = "oxu-update";
inline constexpr const char* kVersionText = kVersion;

inline constexpr int kDefaultPort = 1;
inline constexpr int kDefaultBaud = kDefaultLineChoice.baud;
inline constexpr std::chrono::milliseconds kDefaultTimeout{10'000};
// The watchdog reports after one second of silence; giving up sooner would
// end the run before the operator is told why.
inline constexpr std::chrono::milliseconds kMinTimeout{1'000};
inline constexpr std::chrono::milliseconds kMaxTimeout{86'400'000};

// Bad command-line input. what() is the one line shown to the user.
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

enum class Mode { Update, DownloadCommand, ListPorts, CheckPort, Help, Version };

struct Options {
    Mode mode = Mode::Update;
    int port = kDefaultPort;
    std::optional<std::string> device;  // --device: the path port `port` maps to
    int baud = kDefaultBaud;
    std::chrono::milliseconds timeout = kDefaultTimeout;
    bool yes = false;    // --yes: no confirmation for the download command
    bool trace = false;  // --trace: hex dump of the wire on stderr
    std::string file;    // the firmware image (update mode only)
};

// Parses argv[1..]. Options take their value as the next argument or after
// '='; "--" ends the options. Throws UsageError naming the offending argument
// for an unknown option, a missing or bad value, a port outside 1..16, a baud
// rate not in kLineChoices, a missing or extra file, or two modes.
Options parseCommandLine(const std::vector<std::string>& args);

// The --help text, exit codes included.
std::string usageText();

}  // namespace oxu::cli
