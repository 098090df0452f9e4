#pragma once

// Checks on the firmware file made before any port is touched, so that a
// bad file never leaves a header on the wire.

#include <cstdint>
#include <optional>
#include <string>

namespace oxu::cli {

struct FirmwareCheck {
    std::string problem;      // why the file cannot be sent; empty when it can
    std::uintmax_t size = 0;  // its length in bytes, when it can
    bool ok() const { return problem.empty(); }
};

// Looks at the file at path: it must exist, be a regular file (links
// followed), be readable, and hold at most 65,280 bytes (255 pages, all the
// header can announce). The problem names the file and the reason.
FirmwareCheck checkFirmwareFile(const std::string& path);

}  // namespace oxu::cli
