#include "protocol/firmware_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

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

FirmwareCheck checkFirmwareFile(const std::string& path) {
    namespace fs = std::filesystem;
    using Status = FirmwareCheck::Status;
    FirmwareCheck check;
    const std::string name = "the firmware file \"" + path + "\"";
    auto fail = [&check](Status status, std::string problem) {
        check.status = status;
        check.problem = std::move(problem);
        return check;
    };
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
        return fail(Status::Missing, name + " does not exist");
    if (error)
        return fail(Status::Inaccessible, "cannot look at " + name + ": " + error.message());
    if (!fs::is_regular_file(status))
        return fail(Status::NotRegular, name + " is not a regular file");
    check.size = fs::file_size(path, error);
    if (error)
        return fail(Status::Inaccessible,
                    "cannot get the size of " + name + ": " + error.message());
    if (check.size > kMaxImageBytes) {
        return fail(Status::TooLarge, name + " holds " + std::to_string(check.size) +
                                          " bytes; at most " + std::to_string(kMaxImageBytes) +
                                          " bytes (" + std::to_string(kMaxPageCount) +
                                          " pages of " + std::to_string(PageSize) +
                                          ") can be sent");
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return fail(Status::Unreadable, "cannot read " + name + ": " + std::strerror(errno));
    return check;
}

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
