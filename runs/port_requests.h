#pragma once

// The ports of a command line, as every front end reads them: --port N
// (again for more), --ports "1-4,7", and --device PATH, the Nth device going
// to the Nth port named, or to port N when no port is named; and the other
// values every run takes, --baud and --retry, with the same words for a bad
// one wherever it was typed, and --log.

#include <QCommandLineParser>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runs/ports.h"

namespace oxu::runs {

// --retry: at most this many more attempts on a port.
inline constexpr int kMaxRetries = 100;

// Bad command-line input; what() is the one line shown to the user.
class OptionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// An argument as the parser holds it (read as Latin-1, a character per
// byte), back as the bytes typed: paths come back as they were given.
std::string argumentBytes(const QString& text);

// The value of a decimal number written with digits only (at most 9), or
// nothing.
std::optional<int> parseDigits(const std::string& text);

// A --port value: 1 to 16. Throws OptionError.
int parsePortNumber(const std::string& text);

// The ports of a --ports value such as "1-4,7" (ranges ascending), in
// order. Throws OptionError for anything else or a port outside 1..16.
std::vector<int> parsePortList(const std::string& text);

// A --baud value: one of the line's rates. Throws OptionError.
int parseBaudRate(const std::string& text);

// A --retry value: 0 to kMaxRetries. Throws OptionError.
int parseRetryCount(const std::string& text);

// What --port, --ports and --device said, each value checked.
struct PortOptions {
    std::vector<int> numbers;          // in the order given, whichever option named them
    std::vector<std::string> devices;  // in the order given
};

// Reads the options named "port", "ports" and "device", which parser must
// know, after a successful parse. Throws OptionError for a bad number or
// list, or an empty device.
PortOptions readPortOptions(const QCommandLineParser& parser);

// The last --log value (option "log", which parser must know), or nothing.
// Throws OptionError for an empty one.
std::optional<std::string> readLogPath(const QCommandLineParser& parser);

// The requests for the numbers named (in order) and the devices given.
// Without a number, the devices go to ports 1, 2, ...; without either, the
// result is empty. Throws OptionError for more than 16 ports (or devices),
// a port given twice, or as many devices as ports not given.
std::vector<PortRequest> pairPortRequests(std::vector<int> numbers,
                                          const std::vector<std::string>& devices);

}  // namespace oxu::runs
