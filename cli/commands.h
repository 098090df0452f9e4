#pragma once

// The download command and the port list of oxu-update, on the same engine
// and serial code as the window (the update itself: cli/gang.h). Each needs a
// QCoreApplication and returns the exit code.

#include "cli/options.h"

namespace oxu::cli {

// Asks for confirmation (or takes --yes), then sends 2F 55 AA and closes the
// port. Returns 0 when sent, 1 when not (failure or answered No), 130 when
// interrupted.
int runDownload(const Options& options);

// Prints ports 1 to 16: the device each maps to and what the system knows
// of it. Returns 0.
int listPorts();

}  // namespace oxu::cli
