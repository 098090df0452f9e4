#pragma once

// The simulator's command line.

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/bytes.h"

namespace oxu {

// Bad input to the simulator itself. what() is the message for stderr;
// main() exits with code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class PageOrder { Sequential, Reverse, Random, Repeat };

struct Options {
    bool help = false;
    bool expectDownload = false;
    PageOrder order = PageOrder::Sequential;
    std::optional<std::uint64_t> seed;  // chosen at random when absent, and reported
    std::chrono::microseconds timeout = std::chrono::seconds(10);
    std::chrono::microseconds wait{0};  // 0: wait for the program forever
    std::optional<std::string> linkPath;
    std::optional<std::string> savePath;
    std::optional<std::string> expectImagePath;
    std::optional<Bytes> expectedImage;    // the contents of --expect-image
    std::optional<std::size_t> imageSize;  // --image-size, or the expected image's size
    bool stats = false;

    bool silent = false;
    std::optional<int> stopAfter;
    std::optional<std::chrono::microseconds> resumeAfter;
    bool pageZero = false;
    bool split = false;
    bool burst = false;
    int garbage = 0;
    bool retryBadChecksum = false;
    std::optional<int> hangupAfter;
    int extraPages = 0;
    std::optional<long> baud;
};

// Parses argv[1..]. Reads the --expect-image file. Throws UsageError naming
// the offending flag or value for an unknown flag, a missing or bad value, a
// combination that makes no sense, or an unreadable file.
Options parseOptions(const std::vector<std::string>& args);

// The --help text: every flag, one line or two each.
std::string usageText();

}  // namespace oxu
