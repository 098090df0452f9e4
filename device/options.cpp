#include "device/options.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "protocol/firmware_image.h"
#include "protocol/frames.h"
#include "protocol/line_choices.h"

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

// Reads the --expect-image file with the updater's own firmware-file check,
// which refuses before reading anything that is not a regular file of at
// most an image's size: /dev/zero would never end and a FIFO would wait for
// a writer.
Bytes readExpectedImage(const std::string& path) {
    const FirmwareCheck check = checkFirmwareFile(path);
    if (!check.ok())
        throw UsageError("--expect-image: " + check.problem);
    Bytes image;
    try {
        image = Lire(path);
    } catch (const FirmwareReadError& failure) {
        throw UsageError(std::string("--expect-image: ") + failure.what());
    }
    // A file that grew since it was looked at.
    if (image.size() > kMaxImageBytes) {
        throw UsageError("--expect-image: the file \"" + path + "\" has " +
                         std::to_string(image.size()) + " bytes; at most " +
                         std::to_string(kMaxImageBytes) + " fit in 255 pages");
    }
    return image;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options options;
    Faults& faults = options.faults;
    using Take = std::function<void(const std::string& flag, const std::string& value)>;
    struct Flag {
        const char* name;
        bool* on;   // a switch, or
        Take take;  // a flag with a value
    };
    const auto whole = [](auto& into, long long low, long long high) -> Take {
        return [&into, low, high](auto& f, auto& v) { into = parseInteger(f, v, low, high); };
    };
    const auto seconds = [](auto& into) -> Take {
        return [&into](auto& f, auto& v) { into = parseSeconds(f, v); };
    };
    const auto text = [](auto& into) -> Take { return [&into](auto&, auto& v) { into = v; }; };
    const Flag flags[] = {
        {"help", &options.help, {}},
        {"version", &options.version, {}},
        {"expect-download", &options.expectDownload, {}},
        {"download-first", &options.downloadFirst, {}},
        {"stats", &options.stats, {}},
        {"silent", &faults.silent, {}},
        {"page-zero", &faults.pageZero, {}},
        {"split", &faults.split, {}},
        {"burst", &faults.burst, {}},
        {"retry-bad-checksum", &faults.retryBadChecksum, {}},
        {"order", nullptr, [&](auto&, auto& v) { faults.order = parseOrder(v); }},
        {"seed", nullptr, whole(faults.seed, 0, INT64_MAX)},
        {"timeout", nullptr, seconds(options.timeout)},
        {"wait", nullptr, seconds(options.wait)},
        {"linger", nullptr, seconds(options.linger)},
        {"link", nullptr, text(options.linkPath)},
        {"save", nullptr, text(options.savePath)},
        {"expect-image", nullptr, text(options.expectImagePath)},
        {"image-size", nullptr, whole(options.imageSize, 0, kMaxImageBytes)},
        {"stop-after", nullptr, whole(faults.stopAfter, 0, 1000)},
        {"resume-after", nullptr, seconds(faults.resumeAfter)},
        {"garbage", nullptr, whole(faults.garbage, 1, 65536)},
        {"hangup-after", nullptr, whole(faults.hangupAfter, 0, 1000)},
        {"hangup-mid-page", nullptr, whole(faults.hangupMidPage, 0, 1000)},
        {"silent-first", nullptr, whole(faults.silentFirst, 1, 1000)},
        {"extra-pages", nullptr, whole(faults.extraPages, 0, kMaxPageCount)},
        {"baud", nullptr, whole(faults.baud, 50, 4000000)},
    };
    // getopt_long reports a flag by its index past every character code.
    constexpr int kFirstCode = 256;
    std::vector<option> table;
    for (const Flag& flag : flags) {
        table.push_back({flag.name, flag.on ? no_argument : required_argument, nullptr,
                         kFirstCode + static_cast<int>(table.size())});
    }
    table.push_back({});
    const auto nameOf = [&](int code) {
        return code >= kFirstCode ? std::string("--") + flags[code - kFirstCode].name
                                  : "-" + std::string(1, static_cast<char>(code));
    };

    // getopt_long reorders what it is given, so it gets a copy.
    std::vector<std::string> words = args;
    std::vector<char*> argv{const_cast<char*>("oxu-device-sim")};
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;
    opterr = 0;  // the messages below name the flag and point to --help
    optind = 0;  // a fresh start, whatever an earlier parse left behind
    for (int code; (code = getopt_long(argc, argv.data(), ":h", table.data(), nullptr)) != -1;) {
        if (code == 'h') {
            options.help = true;
        } else if (code == ':') {
            throw UsageError(nameOf(optopt) + " needs a value (see --help)");
        } else if (code == '?' && optopt >= kFirstCode) {
            throw UsageError(nameOf(optopt) + " takes no value");
        } else if (code == '?') {
            const std::string word = optopt ? nameOf(optopt) : argv[optind - 1];
            throw UsageError("unknown option \"" + word + "\" (see --help)");
        } else if (const Flag& flag = flags[code - kFirstCode]; flag.on) {
            *flag.on = true;
        } else {
            flag.take(nameOf(code), optarg);
        }
    }
    if (optind < argc)
        throw UsageError("unknown option \"" + std::string(argv[optind]) + "\" (see --help)");
    if (options.help || options.version)
        return options;

    if (faults.resumeAfter && !faults.stopAfter)
        throw UsageError("--resume-after only makes sense with --stop-after");
    if (options.timeout.count() == 0)
        throw UsageError("--timeout: must be above 0 seconds");
    if (options.expectImagePath) {
        options.expectedImage = readExpectedImage(*options.expectImagePath);
        if (options.imageSize && *options.imageSize != options.expectedImage->size()) {
            throw UsageError("--image-size " + std::to_string(*options.imageSize) +
                             " disagrees with --expect-image \"" + *options.expectImagePath +
                             "\" (" + std::to_string(options.expectedImage->size()) + " bytes)");
        }
        options.imageSize = options.expectedImage->size();
    }
    if (options.expectDownload && options.downloadFirst)
        throw UsageError(
            "--expect-download is the command alone; --download-first the command, "
            "then the update: give one of them");
    if (options.expectDownload) {
        const bool updateFlags = faults.silent || faults.stopAfter || faults.pageZero ||
                                 faults.split || faults.burst || faults.garbage > 0 ||
                                 faults.retryBadChecksum || faults.hangupAfter ||
                                 faults.hangupMidPage || faults.silentFirst > 0 ||
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
  --link PATH            also make a symbolic link PATH to the terminal (removed at
                         exit). Only a stale link to a terminal that is gone is
                         replaced; anything else at PATH is left alone (exit 2)
  --wait S               give up if the program has not started within S seconds
                         (default 0: wait forever)
  --linger S             after the verdict, stay plugged in: keep the terminal and
                         the link S seconds, or until a termination signal
  --timeout S            give up when the program stays silent S seconds while an
                         answer is due (default 10)
  --stats                also print a "stats:" line with page round-trip times
  -h, --help             show this text
  --version              show the version

Update (default mode):
  --order ORDER          sequential (1..N, default), reverse (N..1), random (a
                         shuffle), repeat (1,1,2,2,...: each page twice in a row)
  --seed N               seed for --order random and --garbage (default: random,
                         reported in the verdict)
  --image-size BYTES     the exact image size: every page frame length is checked.
                         Without it pages 1..N-1 must be 258 bytes and the last page
                         ends after 200 ms without a byte
  --expect-image FILE    compare the received image with FILE (implies its size); a
                         regular file of at most 65280 bytes
  --save FILE            write the received image to FILE once every page checked out
  --extra-pages K        also request K pages beyond the image (each must be 00 00)

  --download-first       expect the download command 2F 55 AA first, as a device
                         out of its download mode: the program may close the
                         port and open it again before the header. An update
                         started over (--silent-first) needs it again. The
                         verdict adds download=2f55aa

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
                         request (the program drops them and serves the request)
  --retry-bad-checksum   request a page whose frame failed its check again, up to
                         3 more times
  --hangup-after K       drop the line after K pages, like an unplugged adapter
  --hangup-mid-page K    after K pages, request the next one and drop the line
                         once part of its frame has arrived
  --silent-first K       request nothing in the first K updates, holding the line
                         open, and wait up to --timeout each time for the program
                         to start over; then serve the next update honestly
  --baud B               run the line at B baud, 8N1, as a device on a real
                         line (the device speaks )" +
           listBaudRates() + R"(): the
                         program's bytes arrive no faster than B carries them
                         (10 bits a byte) and the device's go out one at a time
                         at B, so an update takes its real time. A program set
                         to another speed hears garbage and is heard as garbage:
                         it never completes. The verdict adds line_ms, the line
                         time of the program's bytes. Without --baud, bytes
                         cross at once and any speed is accepted

Download command:
  --expect-download      expect the 3 bytes 2F 55 AA and report the line settings
                         the program chose
)";
}

}  // namespace oxu::sim
