#pragma once

// What stands between a port and an update, as facts: the port opened as an
// update opens it and closed again, with nothing sent, then the system asked
// about the device (its node, access, driver, adapter, lock and openers) and
// about services known to take USB-serial adapters. The words are the
// caller's.

#include <optional>
#include <string>
#include <vector>

#include "serial/device_facts.h"
#include "serial/line_control.h"
#include "serial/port_mapping.h"
#include "serial/usb_adapter.h"

namespace oxu {

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

// Opens port `number` (mapped as for an update, or to device when one is
// given) at `baud`, lowering RTS and asking for low latency as an update
// does, closes it again without sending a byte, and reads what the system
// knows of the device. Needs a QCoreApplication; never throws for a port that
// cannot be used.
PortFacts gatherPortFacts(int number, int baud, const std::optional<std::string>& device = {});

}  // namespace oxu
