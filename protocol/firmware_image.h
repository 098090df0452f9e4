#pragma once

// Reading the firmware file and cutting it into 256-byte pages.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "protocol/bytes.h"

namespace oxu {

// The firmware file could not be read whole. what() names the file and the
// system's reason.
class FirmwareReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What is known of a firmware file before any port is touched.
struct FirmwareCheck {
    enum class Status {
        Ok,
        Missing,       // nothing at the path
        NotRegular,    // a directory, device, FIFO... (links are followed)
        Inaccessible,  // its type or size could not be read
        TooLarge,      // more than 65,280 bytes: the header cannot announce it
        Unreadable,    // it cannot be opened for reading
    };
    Status status = Status::Ok;
    std::uintmax_t size = 0;  // its length in bytes, once known
    std::string problem;      // names the file and the reason; empty when Ok
    bool ok() const { return status == Status::Ok; }
};

// Looks at the file at path without reading it: it must exist, be a regular
// file (links followed), hold at most 65,280 bytes and open for reading.
// Stops at the first of these that fails.
FirmwareCheck checkFirmwareFile(const std::string& path);

// Reads the whole file named by Fichier, raw bytes in file order.
// Throws FirmwareReadError when it cannot be opened or read to its end, so
// that a partial or blank image is never sent as if it were the firmware.
Bytes Lire(const std::string& Fichier);

// Pages needed for a file of fileLength bytes: (L - 1) / 256 + 1 truncated
// toward zero, so 0 for an empty file and ceil(L / 256) otherwise.
long long pageCount(std::uintmax_t fileLength);

// The bytes of 1-based page `page`: at most 256, fewer for the last page,
// none when the page starts past the end of the image (or page is 0).
Bytes pageSlice(const Bytes& image, int page);

}  // namespace oxu
