#pragma once

// The USB adapter behind a serial device, as sysfs tells it: for the port
// check, the summary, the audit log and the choice of a port when none is
// named. Read from sysfs alone: no device is opened (Qt's port list opens
// every 8250 UART to probe it, raising its modem lines).

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace oxu {

struct UsbAdapter {
    bool listed = false;  // the system's list of serial ports knows the device
    std::optional<std::uint16_t> vendorId{};
    std::optional<std::uint16_t> productId{};
    std::string serialNumber{};  // empty when unknown, as are the texts below
    std::string manufacturer{};
    std::string product{};
};

// A serial device of the system with a USB adapter behind it.
struct UsbSerialDevice {
    std::string device;  // "/dev/ttyUSB0"
    UsbAdapter adapter;
};

// The adapter behind device (a path; symbolic links such as
// /dev/serial/by-path/... are followed). Every field is empty when the
// device is not a USB adapter or does not exist; listed says whether sysfs
// knows it as a tty with hardware behind it. Never throws.
UsbAdapter findUsbAdapter(const std::string& device);

// Every tty under root/sys/class/tty with a USB device behind it, by name
// ("/dev/ttyACM0" before "/dev/ttyUSB0"). Reads sysfs only. Never throws.
std::vector<UsbSerialDevice> listUsbSerialDevices(const std::filesystem::path& root = "/");

// The adapter of tty `name` ("ttyUSB0") under root/sys/class/tty: the
// nearest USB device (one with an idVendor) above the tty's device.
UsbAdapter readUsbAdapter(const std::string& name, const std::filesystem::path& root = "/");

// A USB vendor or product ID as it is written everywhere: four lower-case
// hex digits, "0403". Inline, so that code that only formats the facts it
// is given needs no serial port library.
inline std::string formatUsbId(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

}  // namespace oxu
