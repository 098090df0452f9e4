#pragma once

// Where a run gets its ports and learns of its boards. The run asks; the
// system answers (SystemPorts), or a test's fakes do.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/serial_port.h"
#include "runs/report.h"
#include "serial/usb_adapter.h"

namespace oxu::runs {

// A port as the operator named it: a number, and the device given for it
// (otherwise the number's mapping decides).
struct PortRequest {
    int number = 1;
    std::optional<std::string> device;
    bool operator==(const PortRequest&) const = default;
};

class PortFactory {
public:
    virtual ~PortFactory() = default;
    // Who the port is now: its device, what that resolves to, and its
    // adapter. A port with no device has an empty device.
    virtual PortIdentity identify(const PortRequest& request) = 0;
    // A closed port for it, at the default line settings; the attempt sets
    // the baud rate and opens it.
    virtual std::unique_ptr<SerialPort> makePort(const PortRequest& request,
                                                 const PortIdentity& identity) = 0;
};

// Station mode: whether each port has a board on it now.
class Presence {
public:
    virtual ~Presence() = default;
    virtual bool boardPresent(const PortRequest& request) = 0;
};

// The device path of a request now: the one given, or its number's mapping;
// empty when the number maps to none.
std::string deviceFor(const PortRequest& request);

// Two ports of one run on one device would fight over it: the first such
// pair (by index into requests) and the device they share; nothing when
// every port has a device of its own.
struct SharedDevice {
    std::size_t first = 0;
    std::size_t second = 0;
    std::string device;  // symbolic links resolved
};
std::optional<SharedDevice> findSharedDevice(const std::vector<PortRequest>& requests);

// The names under root/dev/serial/by-id and by-path that point to device
// (itself resolved), and the path it resolves to.
DeviceNames findDeviceNames(const std::string& device, const std::filesystem::path& root = "/");

// The running system's ports (Qt Serial Port) and its device nodes: a board
// is present when its port's path names a character device.
class SystemPorts final : public PortFactory, public Presence {
public:
    PortIdentity identify(const PortRequest& request) override;
    std::unique_ptr<SerialPort> makePort(const PortRequest& request,
                                         const PortIdentity& identity) override;
    bool boardPresent(const PortRequest& request) override;
};

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

// "FTDI FT232R USB UART, serial A12345": the adapter's names (its USB IDs
// when it gives none), then its serial number when it has one.
std::string describeAdapter(const UsbAdapter& adapter);

}  // namespace oxu::runs
