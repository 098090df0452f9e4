#include "cli/firmware_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "protocol/frames.h"

namespace oxu::cli {

namespace fs = std::filesystem;

FirmwareCheck checkFirmwareFile(const std::string& path) {
    FirmwareCheck check;
    const std::string name = "the firmware file \"" + path + "\"";
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        check.problem = name + " does not exist";
        return check;
    }
    if (error) {
        check.problem = "cannot look at " + name + ": " + error.message();
        return check;
    }
    if (!fs::is_regular_file(status)) {
        check.problem = name + " is not a regular file";
        return check;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) {
        check.problem = "cannot get the size of " + name + ": " + error.message();
        return check;
    }
    if (size > kMaxImageBytes) {
        check.problem = name + " holds " + std::to_string(size) + " bytes; at most " +
                        std::to_string(kMaxImageBytes) + " bytes (" +
                        std::to_string(kMaxPageCount) + " pages of " + std::to_string(PageSize) +
                        ") can be sent";
        return check;
    }
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        check.problem = "cannot read " + name + ": " + std::strerror(errno);
        return check;
    }
    check.size = size;
    return check;
}

}  // namespace oxu::cli
