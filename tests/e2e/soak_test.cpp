// Many whole 255-page updates in one process: memory and open descriptors
// must not grow from one update to the next. CTest runs a short soak;
// scripts/soak runs 200 updates (OXU_SOAK_UPDATES).

#include <dirent.h>

#include <cstdlib>
#include <fstream>

#include "tests/e2e/window_rig.h"

namespace oxu::testkit {
namespace {

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(256, '\n');
    }
    return -1;
}

int openDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

using Soak = WindowRig;

TEST_F(Soak, RepeatedFullUpdatesKeepMemoryAndDescriptorsFlat) {
    const char* setting = std::getenv("OXU_SOAK_UPDATES");
    const int updates = setting ? std::atoi(setting) : 20;
    long firstRss = 0;
    int firstFds = 0;
    for (int i = 0; i < updates; ++i) {
        expectUpdateCompletes(65'280);
        // Each simulator has ended; the test's own records are not the
        // program's memory.
        devices.clear();
        form->statuses.clear();
        form->boxes.clear();
        if (i == 0) {
            firstRss = residentKb();
            firstFds = openDescriptors();
        }
        if (::testing::Test::HasFailure())
            break;
    }
    const long lastRss = residentKb();
    const int lastFds = openDescriptors();
    std::printf("soak: updates=%d rss_first_kb=%ld rss_last_kb=%ld fds_first=%d fds_last=%d\n",
                updates, firstRss, lastRss, firstFds, lastFds);
    EXPECT_EQ(lastFds, firstFds);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer holds freed memory back on purpose (its quarantine), so
    // resident memory says nothing here; its leak checker covers this build.
#else
    // One lost image per update would add 64 KiB each; allow for allocator slack.
    EXPECT_LT(lastRss - firstRss, 1024) << "resident memory grew";
#endif
}

}  // namespace
}  // namespace oxu::testkit
