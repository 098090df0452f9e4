#include "serial/usb_adapter.h"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace oxu {
namespace {

namespace fs = std::filesystem;

// The USB device sits a few levels above the tty: interface, then port
// (usb-serial) or straight away (cdc_acm).
constexpr int kUsbSearchDepth = 6;

// The first line of a sysfs attribute, or "" when it is missing.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::optional<std::uint16_t> readUsbId(const fs::path& file) {
    const std::string text = readAttribute(file);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 0xffff)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

}  // namespace

UsbAdapter readUsbAdapter(const std::string& name, const fs::path& root) {
    UsbAdapter adapter;
    std::error_code error;
    fs::path device = fs::canonical(root / "sys/class/tty" / name / "device", error);
    if (error || name.empty())
        return adapter;  // a virtual terminal or a pty: no hardware behind it
    adapter.listed = true;
    for (int depth = 0; depth < kUsbSearchDepth && device.has_relative_path(); ++depth) {
        if (const auto vendor = readUsbId(device / "idVendor")) {
            adapter.vendorId = vendor;
            adapter.productId = readUsbId(device / "idProduct");
            adapter.serialNumber = readAttribute(device / "serial");
            adapter.manufacturer = readAttribute(device / "manufacturer");
            adapter.product = readAttribute(device / "product");
            break;
        }
        device = device.parent_path();
    }
    return adapter;
}

UsbAdapter findUsbAdapter(const std::string& device) {
    std::error_code error;
    const fs::path target = fs::canonical(device, error);
    if (error || target.parent_path() != "/dev")
        return {};
    return readUsbAdapter(target.filename().string());
}

std::vector<UsbSerialDevice> listUsbSerialDevices(const fs::path& root) {
    std::vector<UsbSerialDevice> found;
    std::error_code error;
    for (fs::directory_iterator entry(root / "sys/class/tty", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        UsbAdapter adapter = readUsbAdapter(name, root);
        if (adapter.vendorId)
            found.push_back({"/dev/" + name, std::move(adapter)});
    }
    std::sort(found.begin(), found.end(), [](const UsbSerialDevice& a, const UsbSerialDevice& b) {
        return a.device < b.device;
    });
    return found;
}

}  // namespace oxu
