#pragma once

// What the simulated device found, and the one format of the lines it prints
// about it: "verdict:" for an update, "stats:" for its round trips and
// "download:" for the download command. The simulator formats them; the
// benchmark and the tests parse the verdict and stats lines back with the
// same code. Standard C++.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/bytes.h"

namespace oxu::sim {

// The line settings the program chose: speed, then "n,8,1" style framing.
struct LineSettings {
    long baud = 0;
    int dataBits = 8;
    char parity = 'n';  // 'n', 'e' or 'o'
    int stopBits = 1;

    bool operator==(const LineSettings&) const = default;
};

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
    std::optional<long> baud;                             // the pace of the device's bytes
    int updates = 1;  // headers received: the program started over after silent updates
    std::optional<Bytes> downloadCommand;  // --download-first: what came before the header
};

struct DownloadReport {
    bool ok = false;
    std::string reason;
    Bytes received;
    std::optional<LineSettings> settings;  // absent: the program closed before they were read
    std::optional<bool> portClosed;
};

// The round trips of an update, in whole microseconds (nearest rank); all 0
// when there were none.
struct RoundTripStats {
    std::size_t count = 0;
    long long minUs = 0;
    long long medianUs = 0;
    long long p99Us = 0;
    long long maxUs = 0;

    bool operator==(const RoundTripStats&) const = default;
};

// Bytes shown of an unexpected transmission; more are cut to "...".
inline constexpr std::size_t kShownBytes = 32;

// "2f 55 aa" with separator " ", "2f55aa" with ""; at most kShownBytes.
std::string formatBytes(ByteView bytes, const char* separator);

// "<baud>,n,8,1": speed, parity, data bits, stop bits.
std::string formatLineSettings(const LineSettings& settings);

// The nearest-rank minimum, median, 99th percentile and maximum.
RoundTripStats summarizeRoundTrips(const std::vector<std::chrono::microseconds>& roundTrips);

// "verdict: ok pages=4 announced=4 bytes=1000 ... seed=42" (one line,
// key=value after the outcome; reason="..." last when not ok).
std::string formatVerdict(const UpdateReport& report);

// "stats: rtt_count=4 rtt_min_us=.. rtt_median_us=.. rtt_p99_us=.. rtt_max_us=.."
std::string formatStats(const UpdateReport& report);

// "download: ok bytes=2f55aa settings=<baud>,n,8,1 port_closed=yes"
std::string formatDownload(const DownloadReport& report);

// The reverse of formatVerdict for the fields the line carries (not the
// round trips, the requests, the image or the download command). Keys the line leaves out keep
// their defaults and unknown keys are skipped; nothing when the line is not
// a verdict or a known key has a value that is not one.
std::optional<UpdateReport> parseVerdict(std::string_view line);

// The reverse of formatStats, on the same terms.
std::optional<RoundTripStats> parseStats(std::string_view line);

}  // namespace oxu::sim
