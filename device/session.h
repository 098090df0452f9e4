#pragma once

// The device's side of the wire protocol: the update session (header, page
// requests, frame checks, completion) and the download-command check. Works
// on a Line, so it runs the same on a pseudo-terminal and on a scripted fake.

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "device/line.h"
#include "device/options.h"
#include "protocol/bytes.h"

namespace oxu {

// Time the last page may take to finish when its length is unknown: its frame
// ends after this much silence.
inline constexpr std::chrono::milliseconds kLastPageQuiet{200};
// How long a request for page 0 is watched for an answer that must not come.
inline constexpr std::chrono::milliseconds kPageZeroQuiet{500};
// How long the device waits for the program to close the port after the
// completion byte (or the download command) before reporting it did not.
inline constexpr std::chrono::seconds kCloseGrace{2};
// A program that recognised completion closes the port within this.
inline constexpr std::chrono::milliseconds kPromptClose{500};
// Pause between the two halves of a request under --split.
inline constexpr std::chrono::milliseconds kSplitPause{20};
// Frames a device asks for again after a bad checksum (--retry-bad-checksum).
inline constexpr int kMaxRetries = 3;

struct UpdateReport {
    bool ok = false;
    std::string reason;             // why not ok; empty when ok
    int announcedPages = 0;         // N from the header
    int pagesOk = 0;                // distinct pages whose frame checked out
    std::size_t imageBytes = 0;     // image bytes in those pages
    std::size_t receivedBytes = 0;  // every byte the program sent
    int checksumErrors = 0;         // frames with a wrong checksum, retried ones too
    int lengthErrors = 0;           // frames too short, too long or followed by stray bytes
    int retries = 0;
    std::chrono::microseconds elapsed{0};               // from the header's first byte to the end
    std::vector<std::chrono::microseconds> roundTrips;  // request written .. frame's last byte
    std::vector<int> requested;  // page numbers in the order they were requested
    std::uint64_t seed = 0;
    std::optional<LineSettings> settings;  // the program's line settings when the header came
    std::optional<Bytes> image;            // the whole image, once every page checked out
    bool completionSent = false;
    std::optional<bool> portClosed;  // after the completion byte: did the program close?
    std::optional<std::chrono::microseconds> closeDelay;  // completion byte .. close
    std::optional<long> baud;
};

struct DownloadReport {
    bool ok = false;
    std::string reason;
    Bytes received;
    std::optional<LineSettings> settings;  // absent: the program closed before they were read
    std::optional<bool> portClosed;
};

// The requests of an update of `pages` pages plus `extraPages` beyond the
// image (page numbers stop at 255), in the given order.
std::vector<int> makePageOrder(PageOrder order, int pages, int extraPages, std::mt19937_64& random);

// Plays the device through one update on `line`. Never throws for anything
// the program does; a LineError on write ends the session with a failure.
UpdateReport runUpdate(Line& line, const Options& options);

// Waits for the download command and checks it byte for byte.
DownloadReport runDownload(Line& line, const Options& options);

// "verdict: ok pages=4 announced=4 bytes=1000 ... time_ms=12.300" (one line,
// key=value after the outcome; reason="..." last when not ok).
std::string formatVerdict(const UpdateReport& report);

// "stats: rtt_count=4 rtt_median_us=.. rtt_p99_us=.. rtt_max_us=.." (one line).
std::string formatStats(const UpdateReport& report);

// "download: ok bytes=2f55aa settings=19200,n,8,1" (one line).
std::string formatDownload(const DownloadReport& report);

// Writes bytes to path through a temporary file renamed into place, so a
// failed write never leaves a truncated image under the name. Throws
// std::runtime_error naming the file and the system's reason.
void writeImageFile(const std::string& path, const Bytes& bytes);

}  // namespace oxu
