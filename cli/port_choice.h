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
#include "serial/usb_adapter.h"

namespace oxu::cli {

// A serial device the operator could choose.
struct PortCandidate {
    std::string device;             // "/dev/ttyUSB0"
    std::optional<int> number;      // the --port that maps to it now, if one does
    UsbAdapter adapter;             // vendorId set for a USB adapter
    std::vector<std::string> byId;  // its /dev/serial/by-id names
};

// Lists the candidates when asked; tests hand in their own.
using CandidateScan = std::function<std::vector<PortCandidate>()>;

// The running system's candidates: ports 1 to 16 as mapped, then any other
// USB serial device, each device once. Reads /dev and sysfs; opens nothing.
std::vector<PortCandidate> scanPortCandidates();

// When options name no port (--port, --ports, --device) for a mode that
// opens one, makes the only USB serial adapter among scan()'s candidates the
// port and returns the line that says so. Returns nothing when a port was
// named (scan() is then not called). Throws UsageError, listing the
// candidates and how to choose, when there is no USB adapter or several.
std::optional<std::string> chooseDefaultPort(Options& options, const CandidateScan& scan);

// Throws UsageError naming the file when it is a regular file of 0 bytes:
// the device would report a 0-page update complete.
void refuseEmptyImage(const std::string& path);

// The line for an empty image, shared with the check of the image as read.
std::string describeEmptyImage(const std::string& path);

// "FTDI FT232R USB UART, serial A12345": the adapter's names (its USB IDs
// when it gives none), then its serial number when it has one.
std::string describeAdapter(const UsbAdapter& adapter);

}  // namespace oxu::cli
