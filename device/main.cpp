// oxu-device-sim: a simulated OXU device on a pseudo-terminal, for trying the
// updater without the hardware. See --help and README.md.

#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "device/options.h"
#include "device/pty_line.h"
#include "device/session.h"
#include "oxu_version.h"

using namespace oxu::sim;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void noteTerminationSignal(int signal) {
    g_terminationSignal = signal;
}

// The --link symlink to the terminal, removed however the run ends (short of
// SIGKILL).
class LinkGuard {
public:
    LinkGuard() = default;
    ~LinkGuard() {
        if (!m_path.empty())
            unlink(m_path.c_str());
    }
    LinkGuard(const LinkGuard&) = delete;
    LinkGuard& operator=(const LinkGuard&) = delete;

    // Replaces only a stale link: one to this terminal or one into /dev/pts/
    // whose terminal is gone. Throws std::runtime_error naming the link and
    // what stands there, or the system's reason.
    void create(const std::string& path, const std::string& terminal) {
        const std::string cannot = "Cannot create the link \"" + path + "\" to " + terminal;
        struct stat info {};
        if (lstat(path.c_str(), &info) == 0) {
            std::string target(PATH_MAX, '\0');
            const ssize_t length =
                S_ISLNK(info.st_mode) ? readlink(path.c_str(), target.data(), target.size()) : 0;
            target.resize(static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
            // A killed run leaves its link pointing at a terminal that is gone
            // or, the numbers being reused, at this one.
            const bool stale = target == terminal ||
                               (target.starts_with("/dev/pts/") && stat(path.c_str(), &info) != 0);
            if (!stale) {
                const std::string there = !target.empty()         ? "a link to " + target
                                          : S_ISDIR(info.st_mode) ? "a directory"
                                                                  : "a file";
                throw std::runtime_error(cannot + ": " + there +
                                         " is already there (remove it or choose another path)");
            }
            unlink(path.c_str());
        }
        if (symlink(terminal.c_str(), path.c_str()) != 0)
            throw std::runtime_error(cannot + ": " + std::strerror(errno));
        m_path = path;
    }

private:
    std::string m_path;
};

// Waits out `time`, or until one of the (blocked) termination signals comes.
void lingerFor(std::chrono::microseconds time, const sigset_t& signals) {
    const auto end = std::chrono::steady_clock::now() + time;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                            static_cast<long>(left.count() % 1'000'000'000)};
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal > 0 || (signal < 0 && errno != EINTR))
            return;
    }
}

int runSimulator(const Options& options) {
    // Termination signals are blocked except while the line waits, so a
    // signal always ends a wait instead of slipping in just before it.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    struct sigaction action {};
    action.sa_handler = noteTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);

    PtyLine line(waitMask);
    LinkGuard link;
    if (options.linkPath) {
        try {
            link.create(*options.linkPath, line.slavePath());
        } catch (const std::exception& error) {
            std::cerr << "oxu-device-sim: " << error.what() << '\n';
            return kExitUsage;
        }
    }
    if (options.expectDownload)
        line.holdOutputForSettings();  // before the path is out, so no open goes unseen
    std::cout << line.slavePath() << std::endl;

    if (options.expectDownload) {
        const DownloadReport report = runDownload(line, options);
        std::cout << formatDownload(report) << std::endl;
        return report.ok ? kExitOk : kExitFailed;
    }

    const UpdateReport report = runUpdate(line, options);
    bool saved = true;
    if (options.savePath) {
        if (report.image) {
            try {
                writeImageFile(*options.savePath, *report.image);
            } catch (const std::exception& error) {
                std::cerr << "oxu-device-sim: " << error.what() << '\n';
                saved = false;
            }
        } else {
            std::cerr << "oxu-device-sim: the image was not saved to \"" << *options.savePath
                      << "\": not every page arrived intact\n";
        }
    }
    std::cout << formatVerdict(report) << '\n';
    if (options.stats)
        std::cout << formatStats(report) << '\n';
    std::cout.flush();
    if (options.linger.count() > 0)
        lingerFor(options.linger, blocked);
    return report.ok && saved ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "oxu-device-sim: " << error.what() << '\n';
        return kExitUsage;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? usageText()
                                   : std::string("oxu-device-sim ") + oxu::kVersion + "\n");
        return kExitOk;
    }
    if (options.savePath) {
        // Found out now rather than after the whole update has been received;
        // the file itself is left alone until the image is there to replace it.
        const std::string probe = *options.savePath + ".part";
        std::FILE* file = std::fopen(probe.c_str(), "wb");
        if (!file) {
            std::cerr << "oxu-device-sim: --save: cannot write \"" << probe
                      << "\": " << std::strerror(errno) << '\n';
            return kExitUsage;
        }
        std::fclose(file);
        std::remove(probe.c_str());
    }
    try {
        return runSimulator(options);
    } catch (const std::exception& error) {
        std::cerr << "oxu-device-sim: " << error.what() << '\n';
        return kExitFailed;
    }
}
