#pragma once

// The simulator's command line.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/fault_plan.h"
#include "protocol/bytes.h"

namespace oxu::sim {

// Bad input to the simulator itself. what() is the message for stderr;
// main() exits with code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    bool help = false;
    bool version = false;
    bool expectDownload = false;
    bool downloadFirst = false;  // the download command comes before the update
    std::chrono::microseconds timeout = std::chrono::seconds(10);
    std::chrono::microseconds wait{0};  // 0: wait for the program forever
    // After the verdict, keep the terminal (and the link) this long, as a board
    // left plugged in; a termination signal ends it sooner. 0: end at once.
    std::chrono::microseconds linger{0};
    std::optional<std::string> linkPath;
    std::optional<std::string> savePath;
    std::optional<std::string> expectImagePath;
    std::optional<Bytes> expectedImage;    // the contents of --expect-image
    std::optional<std::size_t> imageSize;  // --image-size, or the expected image's size
    bool stats = false;
    Faults faults;  // where the device departs from an honest one
};

// Parses argv[1..]; may be called again in the same process. Reads the
// --expect-image file, which must be a regular file that fits in an image.
// Throws UsageError naming the offending flag or value for an unknown flag,
// a missing or bad value, a combination that makes no sense, or an
// unsuitable or unreadable file.
Options parseOptions(const std::vector<std::string>& args);

// The --help text: every flag, one line or two each.
std::string usageText();

}  // namespace oxu::sim
