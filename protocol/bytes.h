#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace oxu {

// An ordered string of 8-bit values: the firmware image, the receive buffer
// and every frame. Bytes travel unchanged from file to port.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace oxu
