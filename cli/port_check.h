#pragma once

// oxu-update --check-port: what stands between a port and an update, found
// before an update fails on it. The port is opened as an update opens it and
// closed again, with nothing sent; the system is asked about the device.

#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "serial/port_facts.h"

namespace oxu::cli {

// The findings in words, one line each ("driver: ftdi_sio"), and the verdict.
struct PortReport {
    std::vector<std::string> findings;
    bool usable = false;
    std::string problem;  // why the port cannot be used; empty when it can
};

// Puts facts into words; reads nothing from the system. A port can be used
// when it opened, is a character device, and no other program has it open
// (a pseudo-terminal's other end aside).
PortReport reportPort(const PortFacts& facts);

// --check-port: prints the findings and a result line on standard output
// and, when the port cannot be used, why on standard error. Returns
// kExitComplete when it can be used, kExitNotStarted when not.
int checkPort(const Options& options);

}  // namespace oxu::cli
