#pragma once

// The USB adapter behind a serial device, as the system's list of serial
// ports tells it: for the port check, the summary and the audit log.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace oxu {

struct UsbAdapter {
    bool listed = false;  // the system's list of serial ports knows the device
    std::optional<std::uint16_t> vendorId{};
    std::optional<std::uint16_t> productId{};
    std::string serialNumber{};  // empty when unknown, as are the texts below
    std::string manufacturer{};
    std::string product{};
};

// The adapter behind device (a path; symbolic links such as
// /dev/serial/by-path/... are followed). Every field is empty when the
// device is not a USB adapter or does not exist; listed says whether the
// list knows it at all.
UsbAdapter findUsbAdapter(const std::string& device);

// A USB vendor or product ID as it is written everywhere: four lower-case
// hex digits, "0403". Inline, so that code that only formats the facts it
// is given needs no serial port library.
inline std::string formatUsbId(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

}  // namespace oxu
