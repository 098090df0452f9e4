#pragma once

// Port numbers to serial devices. This platform has no numbered COM ports, so
// port N is either the device named by the environment variable OXU_COM<N>,
// or the Nth serial device found on the system: real UARTs /dev/ttyS<k>, then
// USB adapters /dev/ttyUSB<k>, then /dev/ttyACM<k>, each in numeric order.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/line_choices.h"

namespace oxu {

// Where the mapping looks. Tests inject their own; systemPortScan() reads the
// process environment and the system's /dev.
struct PortScan {
    // The value of an environment variable, or nothing when it is unset.
    std::function<std::optional<std::string>(const std::string& name)> environment;
    // The serial devices present, in mapping order (the first is port 1).
    std::function<std::vector<std::string>()> devices;
};

// The outcome of looking up one port number.
struct PortResolution {
    enum class Status { Found, NoDevice, OutOfRange };

    int number = 0;
    Status status = Status::NoDevice;
    std::string device;            // the device path; empty unless Found
    bool fromEnvironment = false;  // named by OXU_COM<N> rather than found by the scan
    std::string problem;           // why there is no device; empty when Found

    bool found() const { return status == Status::Found; }
};

// The scan of the running system: getenv() and scanSerialDevices("/").
PortScan systemPortScan();

// The serial devices under root (normally "/"), in mapping order, as paths
// under root. A /dev/ttyS<k> counts only when /sys/class/tty/ttyS<k>/type
// names a UART (non-zero): Linux creates ttyS nodes with no hardware behind
// them. Never throws; an unreadable directory gives no devices.
std::vector<std::string> scanSerialDevices(const std::filesystem::path& root = "/");

// The name of the environment variable that overrides port N: "OXU_COM3".
std::string portVariableName(int number);

// Resolves port N: OXU_COM<N> when set and not empty, otherwise the Nth
// scanned device. A number outside 1..16 or with no device gives a result
// whose problem says why, and what was found. Never throws.
PortResolution resolvePort(int number, const PortScan& scan = systemPortScan());

// Port N as a caller names it: with a device (one named on the command
// line), found at that path whatever the environment and the scan say;
// without one, resolvePort(number, scan). A number outside 1..16 is out of
// range either way. Never throws.
PortResolution resolvePort(int number, const std::optional<std::string>& device,
                           const PortScan& scan = systemPortScan());

// "COM 1 (/dev/ttyUSB0)", or "COM 3 (no device)" when the number has none.
std::string describePort(const PortResolution& resolution);

}  // namespace oxu
