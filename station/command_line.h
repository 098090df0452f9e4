#pragma once

// The command line of oxu-station, decided before any window exists: --help
// and --version answer on standard output without a display, and bad options
// end the program with a short usage.

#include <iosfwd>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "runs/ports.h"

namespace oxu::station {

inline constexpr const char* kProgramName = "oxu-station";
inline constexpr int kExitNoDisplay = 1;
inline constexpr int kExitUsage = 64;

struct StationOptions {
    // The ports named, in order; empty: every port the system lists.
    std::vector<runs::PortRequest> ports;
    std::optional<std::string> logPath;  // --log: the audit log to append to
    int retries = 0;                     // --retry: further attempts on a port that failed
    int baud = 38400;
    std::optional<std::string> image;  // the image to start with
};

// Parses argv[1..] as oxu-update does for the same options: --port (again
// for more ports), --ports "1-4,7", --device (the Nth is the Nth port's, or
// port N's when no port is named), --baud, --retry, --log, one IMAGE, "--"
// ending the options. Returns the options, or the exit code once it has said
// why on out (--help, --version) or err (bad usage: 64).
std::variant<StationOptions, int> parseStationCommandLine(const std::vector<std::string>& args,
                                                          std::ostream& out, std::ostream& err);

}  // namespace oxu::station
