#include "protocol/firmware_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "protocol/frames.h"

namespace oxu {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

[[noreturn]] void throwReadError(const std::string& path, int error) {
    throw FirmwareReadError("Cannot read the firmware file \"" + path +
                            "\": " + std::strerror(error));
}

}  // namespace

Bytes Lire(const std::string& Fichier) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(Fichier.c_str(), "rb"));
    if (!file)
        throwReadError(Fichier, errno);

    // Read to the end rather than trusting a length taken earlier: the file
    // may change between the two, and what is read is what gets sent.
    Bytes image;
    std::uint8_t chunk[16384];
    for (;;) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        image.insert(image.end(), chunk, chunk + got);
        if (got < sizeof chunk) {
            if (std::ferror(file.get()))
                throwReadError(Fichier, errno ? errno : EIO);
            break;
        }
    }
    return image;
}

long long pageCount(std::uintmax_t fileLength) {
    if (fileLength == 0)
        return 0;
    return static_cast<long long>((fileLength - 1) / PageSize + 1);
}

Bytes pageSlice(const Bytes& image, int page) {
    if (page < 1)
        return {};
    const std::size_t offset = static_cast<std::size_t>(page - 1) * PageSize;
    if (offset >= image.size())
        return {};
    const std::size_t length = std::min(PageSize, image.size() - offset);
    return Bytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
                 image.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

}  // namespace oxu
