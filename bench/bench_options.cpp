#include "bench/bench_options.h"

#include <cerrno>
#include <cstdlib>

namespace oxu::bench {
namespace {

long parseCount(const std::string& option, const std::string& text, long low, long high) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || end != text.c_str() + text.size() || value < low ||
        value > high)
        throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\"");
    return value;
}

}  // namespace

BenchOptions parseBenchOptions(const std::vector<std::string>& args, BenchOptions options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError(option + " needs a value");
            return args[++i];
        };
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--quick") {
            options.quick = true;
            options.runs = 1;
            options.pages = 8;
            options.pacedRuns = 1;
            options.pacedPages = 2;
            options.idleSettle = std::chrono::milliseconds(500);
            options.idle = std::chrono::milliseconds(1000);
            options.warmUp = false;
        } else if (option == "--runs") {
            options.runs = static_cast<int>(parseCount(option, value(), 1, 1000));
        } else if (option == "--pages") {
            options.pages = static_cast<int>(parseCount(option, value(), 1, 255));
        } else if (option == "--paced-runs") {
            options.pacedRuns = static_cast<int>(parseCount(option, value(), 0, 1000));
        } else if (option == "--paced-pages") {
            options.pacedPages = static_cast<int>(parseCount(option, value(), 1, 255));
        } else if (option == "--baud") {
            options.baud = parseCount(option, value(), 300, 4'000'000);
        } else if (option == "--idle-seconds") {
            options.idle = std::chrono::seconds(parseCount(option, value(), 0, 3600));
        } else if (option == "--realtime") {
            options.realtime = true;
        } else if (option == "--no-warm-up") {
            options.warmUp = false;
        } else if (option == "--simulator") {
            options.simulator = value();
        } else if (option == "--updater") {
            options.updater = value();
        } else if (option == "--scripted-updater") {
            options.scriptedUpdater = value();
        } else {
            throw UsageError("unknown option \"" + option + "\" (see --help)");
        }
    }
    return options;
}

std::string benchUsage() {
    return R"(Usage: oxu-bench [OPTIONS]

Times firmware updates against the simulated device and prints a table, then
one line of key=value pairs starting with "bench:". Ratios compare
measurements taken in this one run; absolute times depend on the machine.

  --runs N           timed updates of each responder, interleaved (default 15)
  --pages P          pages of the unpaced image, 1..255 (default 255)
  --paced-runs N     timed updates of each responder on the paced line (default 5;
                     0 skips the paced rows)
  --paced-pages K    pages of the paced image (default 32)
  --baud B           the paced line's rate (default 38400)
  --idle-seconds S   how long the idle window program is watched (default 5)
  --no-warm-up       time from the first update on
  --realtime         run the benchmark and what it starts under SCHED_FIFO, so that
                     other work on a shared machine does not preempt it (needs root
                     or CAP_SYS_NICE; falls back to normal scheduling, and says so)
  --quick            1 run of 8 pages, 1 paced run of 2 pages, 1 s idle, no warm-up
  --simulator PATH   oxu-device-sim to use (default: the one built alongside)
  --updater PATH     oxu-updater to use (default: the one built alongside)
  --scripted-updater PATH  oxu-updater-scripted to use (default: likewise)
  -h, --help         show this text

Exit codes: 0 every measurement completed; 1 some did not (each failure is
reported on standard error); 2 bad usage.
)";
}

}  // namespace oxu::bench
