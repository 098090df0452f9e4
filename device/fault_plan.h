#pragma once

// The ways the simulated device departs from an honest one: the faults and
// variations asked for on the command line, as a plan the device consults at
// fixed points of an update. With no faults every answer is the honest one.

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "protocol/bytes.h"

namespace oxu::sim {

enum class PageOrder { Sequential, Reverse, Random, Repeat };

// What was asked for; the defaults are the honest device.
struct Faults {
    PageOrder order = PageOrder::Sequential;
    std::optional<std::uint64_t> seed;  // chosen at random when absent, and reported
    int extraPages = 0;
    bool silent = false;
    std::optional<int> stopAfter;
    std::optional<std::chrono::microseconds> resumeAfter;
    bool pageZero = false;
    bool split = false;
    bool burst = false;
    int garbage = 0;
    bool retryBadChecksum = false;
    std::optional<int> hangupAfter;
    std::optional<int> hangupMidPage;  // drop the line halfway through the frame after K pages
    int silentFirst = 0;               // updates to stay silent in before the honest one
    std::optional<long> baud;
};

// Pause between the two halves of a split request, and after the garbage.
inline constexpr std::chrono::milliseconds kSplitPause{20};
// Frames a device asks for again after a bad checksum (--retry-bad-checksum).
inline constexpr int kMaxRetries = 3;

// What the device does before its next request.
struct Step {
    // AwaitNextUpdate: silent in this update, waiting for the program to start another.
    enum class Kind { Go, Pause, FallSilent, HangUp, AwaitNextUpdate } kind = Kind::Go;
    std::chrono::microseconds pause{0};  // Pause: how long, then go on
    std::string reason;  // FallSilent, HangUp: the outcome to report; Pause: what it is for
};

// How a request goes out.
enum class RequestShape {
    Whole,           // one write
    Split,           // the mark, kSplitPause, then the page number
    WithCompletion,  // the request and the completion byte in one write
};

class FaultPlan {
public:
    explicit FaultPlan(const Faults& faults);

    // The seed of every random choice, for the report.
    std::uint64_t seed() const { return m_seed; }

    // Once the header has checked out, before anything is requested;
    // `update` counts the updates of the run from 1.
    Step afterHeader(int update = 1) const;

    // Bytes to send before the first request; empty for none.
    Bytes noiseBeforeRequests();

    // Whether to request page 0 before the first page.
    bool requestsPageZero() const { return m_faults.pageZero; }

    // The pages to request for an image of `pages` pages, in order.
    std::vector<int> pageOrder(int pages);

    // Before each request, with `pagesOk` frames checked out so far.
    Step beforeRequest(int pagesOk);

    // Once a request has gone out, with `pagesOk` frames checked out before
    // it: HangUp when the line is to drop halfway through the frame.
    Step duringFrame(int pagesOk) const;

    // How to write a request; `last` for the last of the update.
    RequestShape requestShape(bool last) const;

    // Whether to ask again for a page whose frame failed its checksum after
    // `retries` requests for it again already.
    bool retriesBadChecksum(int retries) const;

    // The pause after each byte when the device writes them one at a time;
    // nothing when it writes them all at once.
    std::optional<std::chrono::microseconds> byteTime() const;

private:
    Faults m_faults;
    std::uint64_t m_seed;
    std::mt19937_64 m_random;
    bool m_stopped = false;
};

// The requests of an update of `pages` pages plus `extraPages` beyond the
// image (page numbers stop at 255), in the given order.
std::vector<int> makePageOrder(PageOrder order, int pages, int extraPages, std::mt19937_64& random);

}  // namespace oxu::sim
