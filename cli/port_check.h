#pragma once

// oxu-update --check-port: what stands between a port and an update, found
// before an update fails on it. The port is opened as an update opens it and
// closed again, with nothing sent; the system is asked about the device.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "serial/device_facts.h"
#include "serial/line_control.h"
#include "serial/port_mapping.h"
#include "serial/usb_adapter.h"

namespace oxu::cli {

// Everything the check found out, before any of it is put into words.
struct PortFacts {
    PortResolution resolution;
    DeviceNode node;  // examined only when the port number has a device
    NodeAccess access;
    std::string driver;  // empty when the device has none
    UsbAdapter adapter;
    DeviceOpeners openers;
    DeviceLock lock;
    int self = 0;  // this process, which the openers and the lock leave out
    std::vector<ProcessRef> modemManager;
    std::vector<ProcessRef> brltty;
    std::string openFailure;  // why the port did not open; empty when it did
    LowLatencyResult lowLatency;
    std::optional<int> rtsError;  // see QtSerialPort::requestToSendError()
};

// The findings in words, one line each ("driver: ftdi_sio"), and the verdict.
struct PortReport {
    std::vector<std::string> findings;
    bool usable = false;
    std::string problem;  // why the port cannot be used; empty when it can
};

// Opens port `number` (mapped as for an update, or to device when one is
// given) at `baud`, lowering RTS and asking for low latency as an update
// does, closes it again without sending a byte, and reads what the system
// knows of the device. Needs a QCoreApplication; never throws for a port that
// cannot be used.
PortFacts gatherPortFacts(int number, int baud, const std::optional<std::string>& device = {});

// Puts facts into words; reads nothing from the system. A port can be used
// when it opened, is a character device, and no other program has it open
// (a pseudo-terminal's other end aside).
PortReport reportPort(const PortFacts& facts);

// --check-port: prints the findings and a result line on standard output
// and, when the port cannot be used, why on standard error. Returns
// kExitComplete when it can be used, kExitNotStarted when not.
int checkPort(const Options& options);

}  // namespace oxu::cli
