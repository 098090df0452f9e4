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
