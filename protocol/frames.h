#pragma once

// Checksum and the byte layout of every frame on the wire. Pure functions.

#include <cstddef>
#include <cstdint>

#include "protocol/bytes.h"

namespace oxu {

inline constexpr std::uint8_t kFrameMark = 0xAA;       // opens the header and every page request
inline constexpr std::uint8_t kCompletionByte = 0x55;  // sent alone by the device when done
inline constexpr std::uint8_t kDownloadLeadByte = 0x2F;
inline constexpr std::size_t PageSize = 256;  // image bytes carried by one page frame
inline constexpr int kMaxPageCount = 255;     // the header carries the count in one byte
inline constexpr std::size_t kMaxImageBytes = kMaxPageCount * PageSize;  // 65,280
inline constexpr std::size_t kPageRequestSize = 2;                       // 0xAA, page number
inline constexpr std::size_t kHeaderFrameSize = 4;

// The plain byte sum of data as a 16-bit big-endian number: high byte, low
// byte. Not complemented, not seeded. Throws std::overflow_error when the sum
// does not fit two bytes (never for the 0..256-byte frames in use).
Bytes Checksum(ByteView data);

// 0x2F 0x55 0xAA: tells the device to enter its download mode.
Bytes buildDownloadCommand();

// 0xAA, pageCount, Checksum of those two bytes. Throws std::invalid_argument
// with an operator-readable text when pageCount is outside 0..255.
Bytes buildHeaderFrame(long long pageCount);

// The page data (0..256 bytes) followed by its Checksum.
Bytes buildPageFrame(ByteView pageData);

}  // namespace oxu
