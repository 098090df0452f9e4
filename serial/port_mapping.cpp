#include "serial/port_mapping.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace oxu {
namespace {

struct DeviceFamily {
    const char* prefix;
    bool needsUart;  // the node exists whether or not hardware is behind it
};

// Mapping order: built-in UARTs first, then USB serial adapters, then modems
// and USB CDC devices.
constexpr std::array<DeviceFamily, 3> kFamilies{{
    {"ttyS", true},
    {"ttyUSB", false},
    {"ttyACM", false},
}};

// The k of "<prefix><k>", or nothing when the name is not of that form.
std::optional<unsigned> parseDeviceIndex(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    unsigned index = 0;
    auto [end, error] = std::from_chars(first, last, index);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return index;
}

// Linux reports the UART type of a ttyS line in sysfs; 0 means no UART.
bool hasUart(const std::filesystem::path& root, const std::string& name) {
    std::ifstream typeFile(root / "sys/class/tty" / name / "type");
    int type = 0;
    if (!(typeFile >> type))
        return false;
    return type != 0;
}

std::string joinDevices(const std::vector<std::string>& devices) {
    std::string text;
    for (const std::string& device : devices) {
        if (!text.empty())
            text += ", ";
        text += device;
    }
    return text;
}

}  // namespace

PortScan systemPortScan() {
    PortScan scan;
    scan.environment = [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr)
            return std::nullopt;
        return std::string(value);
    };
    scan.devices = [] { return scanSerialDevices("/"); };
    return scan;
}

std::vector<std::string> scanSerialDevices(const std::filesystem::path& root) {
    std::array<std::vector<std::pair<unsigned, std::string>>, kFamilies.size()> found;
    std::error_code error;
    std::filesystem::directory_iterator entries(root / "dev", error);
    if (error)
        return {};
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        for (std::size_t family = 0; family < kFamilies.size(); ++family) {
            auto index = parseDeviceIndex(name, kFamilies[family].prefix);
            if (!index)
                continue;
            if (kFamilies[family].needsUart && !hasUart(root, name))
                continue;
            found[family].emplace_back(*index, entry.path().string());
        }
    }
    std::vector<std::string> devices;
    for (auto& family : found) {
        std::sort(family.begin(), family.end());
        for (auto& [index, path] : family)
            devices.push_back(std::move(path));
    }
    return devices;
}

std::string portVariableName(int number) {
    return "OXU_COM" + std::to_string(number);
}

PortResolution resolvePort(int number, const PortScan& scan) {
    PortResolution resolution;
    resolution.number = number;
    if (number < kFirstPortNumber || number > kLastPortNumber) {
        resolution.status = PortResolution::Status::OutOfRange;
        resolution.problem = "Port number " + std::to_string(number) + " is out of range " +
                             std::to_string(kFirstPortNumber) + " to " +
                             std::to_string(kLastPortNumber);
        return resolution;
    }

    const std::string variable = portVariableName(number);
    if (scan.environment) {
        if (auto value = scan.environment(variable); value && !value->empty()) {
            resolution.status = PortResolution::Status::Found;
            resolution.device = *value;
            resolution.fromEnvironment = true;
            return resolution;
        }
    }

    const std::vector<std::string> devices =
        scan.devices ? scan.devices() : std::vector<std::string>{};
    if (static_cast<std::size_t>(number) <= devices.size()) {
        resolution.status = PortResolution::Status::Found;
        resolution.device = devices[static_cast<std::size_t>(number) - 1];
        return resolution;
    }

    resolution.status = PortResolution::Status::NoDevice;
    const std::string found =
        devices.empty() ? "found none"
                        : "found " + std::to_string(devices.size()) + ": " + joinDevices(devices);
    resolution.problem =
        "no serial device for this number (" + found + "); set " + variable + " to a device path";
    return resolution;
}

PortResolution resolvePort(int number, const std::optional<std::string>& device,
                           const PortScan& scan) {
    if (!device)
        return resolvePort(number, scan);
    // The range is checked alone: no environment and no device list.
    PortResolution resolution = resolvePort(number, PortScan{});
    if (resolution.status == PortResolution::Status::OutOfRange)
        return resolution;
    resolution.status = PortResolution::Status::Found;
    resolution.device = *device;
    resolution.problem.clear();
    return resolution;
}

std::string describePort(const PortResolution& resolution) {
    const std::string name = "COM " + std::to_string(resolution.number);
    if (!resolution.found())
        return name + " (no device)";
    return name + " (" + resolution.device + ")";
}

}  // namespace oxu
