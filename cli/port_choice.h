#pragma once

// What oxu-update settles before any port opens: which port to use when the
// operator named none, and that the image holds something to send. A port
// is never guessed among built-in UARTs (/dev/ttyS*, often the console): only
// the one USB serial adapter present is taken without being named.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "runs/ports.h"

namespace oxu::cli {

using runs::CandidateScan;
using runs::PortCandidate;

// When options name no port (--port, --ports, --device) for a mode that
// opens one, makes the only USB serial adapter among scan()'s candidates the
// port and returns the line that says so. Returns nothing when a port was
// named (scan() is then not called). Throws UsageError, listing the
// candidates and how to choose, when there is no USB adapter or several.
std::optional<std::string> chooseDefaultPort(Options& options, const CandidateScan& scan);

// Throws UsageError naming the file when it is a regular file of 0 bytes:
// the device would report a 0-page update complete.
void refuseEmptyImage(const std::string& path);

}  // namespace oxu::cli
