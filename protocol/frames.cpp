#include "protocol/frames.h"

#include <stdexcept>
#include <string>

namespace oxu {

Bytes Checksum(ByteView data) {
    std::uint32_t sum = 0;
    for (std::uint8_t byte : data) {
        sum += byte;
        if (sum > 0xFFFF)
            throw std::overflow_error("Checksum: the byte sum of " + std::to_string(data.size()) +
                                      " bytes does not fit in two bytes");
    }
    return {static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum & 0xFF)};
}

Bytes buildDownloadCommand() {
    return {kDownloadLeadByte, kCompletionByte, kFrameMark};
}

Bytes buildHeaderFrame(long long pageCount) {
    if (pageCount > kMaxPageCount) {
        throw std::invalid_argument("The firmware image has " + std::to_string(pageCount) +
                                    " pages; at most 255 (65,280 bytes) can be sent.");
    }
    if (pageCount < 0)
        throw std::invalid_argument("Invalid page count " + std::to_string(pageCount) + ".");
    Bytes frame{kFrameMark, static_cast<std::uint8_t>(pageCount)};
    const Bytes sum = Checksum(frame);
    frame.insert(frame.end(), sum.begin(), sum.end());
    return frame;
}

Bytes buildPageFrame(ByteView pageData) {
    Bytes frame(pageData.begin(), pageData.end());
    const Bytes sum = Checksum(pageData);
    frame.insert(frame.end(), sum.begin(), sum.end());
    return frame;
}

}  // namespace oxu
