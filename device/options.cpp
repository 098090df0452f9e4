#include "device/options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "protocol/firmware_image.h"
#include "protocol/frames.h"

namespace oxu::sim {

namespace {

long long parseInteger(const std::string& flag, const std::string& text, long long low,
                       long long high) {
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || ptr != end || value < low || value > high) {
        throw UsageError(flag + ": \"" + text + "\" is not a whole number from " +
                         std::to_string(low) + " to " + std::to_string(high));
    }
    return value;
}

std::chrono::microseconds parseSeconds(const std::string& flag, const std::string& text) {
    // strtod accepts leading blanks, "inf" and "nan"; none of them is a duration.
    char* end = nullptr;
    const double seconds =
        text.empty() || text.front() == ' ' ? -1 : std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) ||
        seconds < 0 || seconds > 86400) {
        throw UsageError(flag + ": \"" + text + "\" is not a number of seconds from 0 to 86400");
    }
    return std::chrono::microseconds(static_cast<long long>(std::llround(seconds * 1e6)));
}

PageOrder parseOrder(const std::string& text) {
    static const std::map<std::string, PageOrder> kOrders = {
        {"sequential", PageOrder::Sequential},
        {"reverse", PageOrder::Reverse},
        {"random", PageOrder::Random},
        {"repeat", PageOrder::Repeat},
    };
    const auto found = kOrders.find(text);
    if (found == kOrders.end()) {
        throw UsageError("--order: \"" + text +
                         "\" is not one of sequential, reverse, random, repeat");
    }
    return found->second;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options options;
    Faults& faults = options.faults;
    using Handler = std::function<void(const std::string& flag, const std::string& value)>;
    const std::map<std::string, Handler> withValue = {
        {"--order", [&](auto&, auto& v) { faults.order = parseOrder(v); }},
        {"--seed",
         [&](auto& f, auto& v) {
             faults.seed = static_cast<std::uint64_t>(parseInteger(f, v, 0, INT64_MAX));
         }},
        {"--timeout", [&](auto& f, auto& v) { options.timeout = parseSeconds(f, v); }},
        {"--wait", [&](auto& f, auto& v) { options.wait = parseSeconds(f, v); }},
        {"--link", [&](auto&, auto& v) { options.linkPath = v; }},
        {"--save", [&](auto&, auto& v) { options.savePath = v; }},
        {"--expect-image", [&](auto&, auto& v) { options.expectImagePath = v; }},
        {"--image-size",
         [&](auto& f, auto& v) {
             options.imageSize = static_cast<std::size_t>(parseInteger(f, v, 0, kMaxImageBytes));
         }},
        {"--stop-after",
         [&](auto& f, auto& v) {
             faults.stopAfter = static_cast<int>(parseInteger(f, v, 0, 1000));
         }},
        {"--resume-after", [&](auto& f, auto& v) { faults.resumeAfter = parseSeconds(f, v); }},
        {"--garbage",
         [&](auto& f, auto& v) {
             faults.garbage = static_cast<int>(parseInteger(f, v, 1, 65536));
         }},
        {"--hangup-after",
         [&](auto& f, auto& v) {
             faults.hangupAfter = static_cast<int>(parseInteger(f, v, 0, 1000));
         }},
        {"--extra-pages",
         [&](auto& f, auto& v) {
             faults.extraPages = static_cast<int>(parseInteger(f, v, 0, kMaxPageCount));
         }},
        {"--baud",
         [&](auto& f, auto& v) {
             faults.baud = static_cast<long>(parseInteger(f, v, 50, 4000000));
         }},
    };
    const std::map<std::string, bool*> switches = {
        {"--help", &options.help},
        {"-h", &options.help},
        {"--expect-download", &options.expectDownload},
        {"--stats", &options.stats},
        {"--silent", &faults.silent},
        {"--page-zero", &faults.pageZero},
        {"--split", &faults.split},
        {"--burst", &faults.burst},
        {"--retry-bad-checksum", &faults.retryBadChecksum},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string flag = args[i];
        std::optional<std::string> value;
        if (const auto eq = flag.find('='); flag.starts_with("--") && eq != std::string::npos) {
            value = flag.substr(eq + 1);
            flag.resize(eq);
        }
        if (const auto sw = switches.find(flag); sw != switches.end()) {
            if (value)
                throw UsageError(flag + " takes no value");
            *sw->second = true;
            continue;
        }
        const auto handler = withValue.find(flag);
        if (handler == withValue.end())
            throw UsageError("unknown option \"" + args[i] + "\" (see --help)");
        if (!value) {
            if (i + 1 >= args.size())
                throw UsageError(flag + " needs a value (see --help)");
            value = args[++i];
        }
        handler->second(flag, *value);
    }
    if (options.help)
        return options;

    if (faults.resumeAfter && !faults.stopAfter)
        throw UsageError("--resume-after only makes sense with --stop-after");
    if (options.timeout.count() == 0)
        throw UsageError("--timeout: must be above 0 seconds");
    if (options.expectImagePath) {
        try {
            options.expectedImage = Lire(*options.expectImagePath);
        } catch (const FirmwareReadError& error) {
            throw UsageError(std::string("--expect-image: ") + error.what());
        }
        if (options.expectedImage->size() > kMaxImageBytes) {
            throw UsageError("--expect-image: \"" + *options.expectImagePath + "\" has " +
                             std::to_string(options.expectedImage->size()) +
                             " bytes; at most 65280 fit in 255 pages");
        }
        if (options.imageSize && *options.imageSize != options.expectedImage->size()) {
            throw UsageError("--image-size " + std::to_string(*options.imageSize) +
                             " disagrees with --expect-image \"" + *options.expectImagePath +
                             "\" (" + std::to_string(options.expectedImage->size()) + " bytes)");
        }
        options.imageSize = options.expectedImage->size();
    }
    if (options.expectDownload) {
        const bool updateFlags = faults.silent || faults.stopAfter || faults.pageZero ||
                                 faults.split || faults.burst || faults.garbage > 0 ||
                                 faults.retryBadChecksum || faults.hangupAfter ||
                                 options.savePath || options.expectImagePath ||
                                 faults.extraPages > 0 || faults.order != PageOrder::Sequential;
        if (updateFlags)
            throw UsageError("--expect-download cannot be combined with update flags");
    }
    return options;
}

std::string usageText() {
    return R"(Usage: oxu-device-sim [OPTIONS]

A simulated OXU device on a pseudo-terminal. Prints the terminal the updater
should open (for example /dev/pts/5) as its first line, then plays the device's
side of the update (default) or of the download command.

Exit codes: 0 the update (or download command) arrived and checked out;
1 it did not (a bad frame, a timeout, the port closed early, or a fault flag
kept the update from completing); 2 bad usage.

General:
  --link PATH            also make a symbolic link PATH to the terminal (removed at exit)
  --wait S               give up if the program has not started within S seconds
                         (default 0: wait forever)
  --timeout S            give up when the program stays silent S seconds while an
                         answer is due (default 10)
  --stats                also print a "stats:" line with page round-trip times
  -h, --help             show this text

Update (default mode):
  --order ORDER          sequential (1..N, default), reverse (N..1), random (a
                         shuffle), repeat (1,1,2,2,...: each page twice in a row)
  --seed N               seed for --order random and --garbage (default: random,
                         reported in the verdict)
  --image-size BYTES     the exact image size: every page frame length is checked.
                         Without it pages 1..N-1 must be 258 bytes and the last page
                         ends after 200 ms without a byte
  --expect-image FILE    compare the received image with FILE (implies its size)
  --save FILE            write the received image to FILE once every page checked out
  --extra-pages K        also request K pages beyond the image (each must be 00 00)

Faults:
  --silent               never request anything after the header
  --stop-after K         fall silent after K pages have checked out
  --resume-after S       with --stop-after: speak again after S seconds
  --page-zero            first request page 0 (the program must send nothing), then
                         carry on
  --split                send every request as two writes with a 20 ms pause
  --burst                send the last request and the completion byte 0x55 in one
                         write (the program discards the 0x55, so the update does
                         not complete; reported as such)
  --garbage N            send N random bytes (never 0xAA or 0x55) before the first
                         request (the program stalls on them)
  --retry-bad-checksum   request a page whose frame failed its check again, up to
                         3 more times
  --hangup-after K       drop the line after K pages, like an unplugged adapter
  --baud B               pace the simulator's own bytes at B baud (10 bits a byte)
                         and report the time the program's bytes would take at B

Download command:
  --expect-download      expect the 3 bytes 2F 55 AA and report the line settings
                         the program chose
)";
}

}  // namespace oxu::sim
