#pragma once

// The three things oxu-update does, on the same engine and serial code as
// the window. Each needs a QCoreApplication and returns the exit code.

#include "cli/options.h"

namespace oxu::cli {

// Sends options.file (already checked) and answers the device until it
// completes, the port is lost, the device stays silent for options.timeout,
// or SIGINT/SIGTERM arrives. Returns one of the kExit* codes.
int runUpdate(const Options& options);

// Asks for confirmation (or takes --yes), then sends 2F 55 AA and closes the
// port. Returns 0 when sent, 1 when not (failure or answered No), 130 when
// interrupted.
int runDownload(const Options& options);

// Prints ports 1 to 16: the device each maps to and what the system knows
// of it. Returns 0.
int listPorts();

}  // namespace oxu::cli
