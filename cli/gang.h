#pragma once

// The update from the command line: one port as it always was, several at
// once (a gang), and station mode (--wait). Every port runs its own update on
// one event loop in this one process, with the same image, baud and timeout;
// one port's failure, silence or unplugging never touches another's.

#include "cli/options.h"

namespace oxu::cli {

// Sends options.file to every port of options.ports and answers each device
// until it completes, its port is lost, it stays silent for options.timeout,
// or SIGINT/SIGTERM arrives; retries failed ports (--retry), prints JSON
// (--json), appends to the audit log (--log), or flashes board after board
// (--wait). Needs a QCoreApplication. Returns the exit code: one port, one
// of the kExit* codes of its last attempt; several, kExitComplete when every
// device completed and kExitSomeFailed otherwise; kExitUsage for two ports
// on one device; kExitInterrupted after a signal.
int runUpdate(const Options& options);

}  // namespace oxu::cli
