#pragma once

// The USB adapter behind a serial device, as the system's list of serial
// ports tells it: for the port check, the summary and the audit log.

#include <cstdint>
#include <optional>
#include <string>

namespace oxu {

struct UsbAdapter {
    std::optional<std::uint16_t> vendorId{};
    std::optional<std::uint16_t> productId{};
    std::string serialNumber{};  // empty when unknown, as are the texts below
    std::string manufacturer{};
    std::string product{};
};

// The adapter behind device (a path; symbolic links such as
// /dev/serial/by-path/... are followed). Every field is empty when the
// device is not a USB adapter or does not exist.
UsbAdapter findUsbAdapter(const std::string& device);

}  // namespace oxu
