#pragma once

// The update from the command line: one port as it always was, several at
// once (a gang), and station mode (--wait), all on the production line of
// runs/, shown by the presenters.

#include "cli/options.h"

namespace oxu::cli {

// Sends options.file to every port of options.ports and answers each device
// until it completes, its port is lost, it makes no progress for
// options.timeout, or SIGINT, SIGTERM or SIGHUP arrives; retries failed
// ports (--retry), prints JSON (--json), appends to the audit log (--log),
// or flashes board after board (--wait). Needs a QCoreApplication. Returns
// the exit code (runs::decideExitCode); kExitUsage for two ports on one
// device; kExitNotStarted when the image or the log cannot be used.
int runUpdate(const Options& options);

}  // namespace oxu::cli
