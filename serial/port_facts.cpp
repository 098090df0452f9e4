#include "serial/port_facts.h"

#include <unistd.h>

#include "serial/qt_serial_port.h"

namespace oxu {
namespace {

// Where the PIDs of lock files and open devices are looked up.
constexpr const char* kProcDirectory = "/proc";

}  // namespace

PortFacts gatherPortFacts(int number, int baud, const std::optional<std::string>& device) {
    PortFacts facts;
    facts.self = static_cast<int>(::getpid());
    {
        QtSerialPort port;
        if (device)
            port.setDevicePath(number, *device);
        else
            port.setPortNumber(number);
        port.setBaudRate(baud);
        facts.resolution = port.resolution();
        try {
            port.open();
            port.close();
        } catch (const SerialError& failure) {
            facts.openFailure = failure.what();
        }
        facts.lowLatency = port.lowLatency();
        facts.rtsError = port.requestToSendError();
    }
    // Read after the close, so that this check's own lock is gone.
    if (facts.resolution.found()) {
        facts.node = inspectDeviceNode(facts.resolution.device);
        facts.access = checkNodeAccess(facts.node);
        const std::string location =
            facts.node.target.empty() ? facts.node.path : facts.node.target;
        facts.lock = readDeviceLock(location, findLockDirectory(location), kProcDirectory);
        if (facts.node.isCharacterDevice) {
            facts.driver = findTtyDriver(facts.node.rdev);
            facts.openers = findDeviceOpeners(facts.node, kProcDirectory, facts.self);
            facts.adapter = findUsbAdapter(location);
        }
    }
    facts.modemManager = findProcessesNamed({"ModemManager"}, kProcDirectory);
    facts.brltty = findProcessesNamed({"brltty"}, kProcDirectory);
    return facts;
}

}  // namespace oxu
