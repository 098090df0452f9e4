#pragma once

// The update from the command line, on the production line of runs/: one
// port, several at once (a gang), or station mode (--wait).

#include "cli/options.h"

namespace oxu::cli {

// Sends options.file to every port of options.ports as runs::Scheduler does,
// shown by the presenters. Needs a QCoreApplication. Returns the run's exit
// code; kExitUsage for two ports on one device; kExitNotStarted when the
// image or the audit log cannot be used.
int runUpdate(const Options& options);

}  // namespace oxu::cli
