#pragma once

// The ports of a command line, as every front end reads them: --port N
// (again for more), --ports "1-4,7", and --device PATH, the Nth device going
// to the Nth port named, or to port N when no port is named.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runs/ports.h"

namespace oxu::runs {

// A bad port option; what() is the line shown to the user.
class PortOptionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The value of a decimal number written with digits only (at most 9), or
// nothing.
std::optional<int> parseDigits(const std::string& text);

// A --port value: 1 to 16. Throws PortOptionError.
int parsePortNumber(const std::string& text);

// The ports of a --ports value such as "1-4,7" (ranges ascending), in
// order. Throws PortOptionError for anything else or a port outside 1..16.
std::vector<int> parsePortList(const std::string& text);

// The requests for the numbers named (in order) and the devices given.
// Without a number, the devices go to ports 1, 2, ...; without either, the
// result is empty. Throws PortOptionError for more than 16 ports, a port
// given twice, or as many devices as ports not given.
std::vector<PortRequest> pairPortRequests(std::vector<int> numbers,
                                          const std::vector<std::string>& devices);

}  // namespace oxu::runs
