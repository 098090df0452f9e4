#include "cli/port_choice.h"

#include <sys/stat.h>

#include <filesystem>

#include "runs/ports.h"
#include "serial/port_mapping.h"

namespace oxu::cli {
namespace {

bool isUsb(const PortCandidate& candidate) {
    return candidate.adapter.vendorId.has_value();
}

// One candidate per line, its by-id names below it: what to type to choose it.
std::string listCandidates(const std::vector<PortCandidate>& candidates) {
    if (candidates.empty())
        return "  (no serial device found)\n";
    std::string text;
    for (const PortCandidate& candidate : candidates) {
        std::string line = candidate.number ? "  --port " + std::to_string(*candidate.number)
                                            : std::string("  (no port number)");
        line.resize(std::max<std::size_t>(line.size() + 1, 13), ' ');
        line += candidate.device;
        if (isUsb(candidate))
            line += "  " + describeAdapter(candidate.adapter);
        text += line + '\n';
        for (const std::string& name : candidate.byId)
            text += std::string(13, ' ') + "--device " + name + '\n';
    }
    return text;
}

}  // namespace

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
            {device, number, findUsbAdapter(device), runs::findDeviceNames(device).byId});
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

std::optional<std::string> chooseDefaultPort(Options& options, const CandidateScan& scan) {
    const bool opensPort = options.mode == Mode::Update || options.mode == Mode::DownloadCommand ||
                           options.mode == Mode::CheckPort;
    if (!opensPort || options.portNamed)
        return std::nullopt;
    const std::vector<PortCandidate> candidates = scan();
    std::vector<const PortCandidate*> usb;
    for (const PortCandidate& candidate : candidates) {
        if (isUsb(candidate))
            usb.push_back(&candidate);
    }
    if (usb.size() == 1) {
        const PortCandidate& only = *usb.front();
        options.ports = {{only.number.value_or(kFirstPortNumber), only.device}};
        options.port = options.ports.front().number;
        options.device = only.device;
        return "using " + only.device + " (" + describeAdapter(only.adapter) +
               "), the only USB serial adapter";
    }
    const std::string found = usb.empty()
                                  ? "no USB serial adapter is present"
                                  : std::to_string(usb.size()) + " USB serial adapters are present";
    throw UsageError("no port named, and " + found + "; serial devices found:\n" +
                     listCandidates(candidates) +
                     "Choose one: --device /dev/serial/by-id/... names an adapter whatever "
                     "it is plugged into;\n--port N takes port N as --list-ports shows it.");
}

std::string describeEmptyImage(const std::string& path) {
    return "the firmware file \"" + path + "\" is empty (0 bytes): nothing to send";
}

void refuseEmptyImage(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
        throw UsageError(describeEmptyImage(path));
}

}  // namespace oxu::cli
