#pragma once

// The ports a front end offers when the operator names none: every serial
// device the system lists, USB adapters first, each under a port number of
// its own. A built-in UART is listed but not used unless named: it may be the
// machine's console.

#include <vector>

#include "runs/ports.h"

namespace oxu::runs {

struct PlannedPort {
    PortRequest request;
    PortIdentity identity;
    bool used = true;  // false: listed only
};

// The ports named, each identified by factory, all used; or, with none
// named, the candidates that scan lists (USB adapters first, in the scan's
// order, then the others, not used), each with the number that maps to it or
// else the lowest number still free, its device given explicitly. At most
// ports 1 to 16.
std::vector<PlannedPort> planPorts(const std::vector<PortRequest>& named, PortFactory& factory,
                                   const CandidateScan& scan);

}  // namespace oxu::runs
