#include "runs/ports.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "serial/port_mapping.h"
#include "serial/qt_serial_port.h"
#include "serial/usb_adapter.h"

namespace oxu::runs {
namespace {

// The entries of folder that resolve to target, by their full path, sorted.
std::vector<std::string> linksTo(const std::filesystem::path& folder,
                                 const std::filesystem::path& target) {
    std::vector<std::string> links;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code resolved;
        if (std::filesystem::canonical(entry->path(), resolved) == target && !resolved)
            links.push_back(entry->path().string());
    }
    std::sort(links.begin(), links.end());
    return links;
}

}  // namespace

std::string deviceFor(const PortRequest& request) {
    const PortResolution resolution = resolvePort(request.number, request.device);
    return resolution.found() ? resolution.device : std::string();
}

std::optional<SharedDevice> findSharedDevice(const std::vector<PortRequest>& requests) {
    std::vector<std::filesystem::path> devices;
    for (const PortRequest& request : requests) {
        const std::string device = deviceFor(request);
        std::error_code error;
        const std::filesystem::path resolved = std::filesystem::weakly_canonical(device, error);
        devices.push_back(device.empty() ? std::filesystem::path()
                          : error        ? std::filesystem::path(device)
                                         : resolved);
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        for (std::size_t j = i + 1; j < devices.size(); ++j) {
            if (!devices[i].empty() && devices[i] == devices[j])
                return SharedDevice{i, j, devices[i].string()};
        }
    }
    return std::nullopt;
}

DeviceNames findDeviceNames(const std::string& device, const std::filesystem::path& root) {
    DeviceNames names;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(device, error);
    if (error)
        return names;
    names.realPath = target.string();
    names.byId = linksTo(root / "dev/serial/by-id", target);
    names.byPath = linksTo(root / "dev/serial/by-path", target);
    return names;
}

PortIdentity SystemPorts::identify(const PortRequest& request) {
    PortIdentity identity;
    identity.number = request.number;
    identity.device = deviceFor(request);
    if (!identity.device.empty()) {
        identity.names = findDeviceNames(identity.device);
        identity.adapter = findUsbAdapter(identity.device);
    }
    return identity;
}

std::unique_ptr<SerialPort> SystemPorts::makePort(const PortRequest& request, const PortIdentity&) {
    auto port = std::make_unique<QtSerialPort>();
    if (request.device)
        port->setDevicePath(request.number, *request.device);
    else
        port->setPortNumber(request.number);
    return port;
}

bool SystemPorts::boardPresent(const PortRequest& request) {
    const std::string device = deviceFor(request);
    struct stat info {};
    return !device.empty() && ::stat(device.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

std::string describeAdapter(const UsbAdapter& adapter) {
    std::string text = adapter.manufacturer;
    // Some adapters repeat their maker in the product name.
    if (!adapter.product.empty() && adapter.product.rfind(adapter.manufacturer, 0) != 0)
        text += (text.empty() ? "" : " ") + adapter.product;
    else if (!adapter.product.empty())
        text = adapter.product;
    if (text.empty())
        text = "USB " + formatUsbId(adapter.vendorId.value_or(0)) + ":" +
               formatUsbId(adapter.productId.value_or(0));
    if (!adapter.serialNumber.empty())
        text += ", serial " + adapter.serialNumber;
    return text;
}

std::vector<PortCandidate> scanPortCandidates() {
    std::vector<PortCandidate> candidates;
    std::vector<std::filesystem::path> seen;
    auto add = [&](const std::string& device, std::optional<int> number) {
        std::error_code error;
        const std::filesystem::path real = std::filesystem::canonical(device, error);
        if (error || std::find(seen.begin(), seen.end(), real) != seen.end())
            return;
        seen.push_back(real);
        candidates.push_back(
            {device, number, findUsbAdapter(device), findDeviceNames(device).byId});
    };
    const PortScan scan = systemPortScan();
    for (int number = kFirstPortNumber; number <= kLastPortNumber; ++number) {
        const PortResolution resolution = resolvePort(number, scan);
        if (resolution.found())
            add(resolution.device, number);
    }
    for (const UsbSerialDevice& usb : listUsbSerialDevices())
        add(usb.device, std::nullopt);
    return candidates;
}

}  // namespace oxu::runs
