#include "kit/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace oxu::kit {

bool makeRaw(int fd, std::optional<speed_t> speed) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (speed && (::cfsetispeed(&settings, *speed) != 0 || ::cfsetospeed(&settings, *speed) != 0))
        return false;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

PtyEnds openRawPty(MasterMode mode) {
    PtyEnds ends;
    const auto fail = [&ends](const std::string& step) {
        const int error = errno;
        for (int fd : {ends.master, ends.slave}) {
            if (fd >= 0)
                ::close(fd);
        }
        throw std::runtime_error("Cannot open a pseudo-terminal: " + step + " failed (" +
                                 std::strerror(error) + ")");
    };
    // Close-on-exec from the start (openpty sets it only afterwards, too late
    // for a thread that forks meanwhile).
    int flags = O_RDWR | O_NOCTTY | O_CLOEXEC;
    if (mode == MasterMode::NonBlocking)
        flags |= O_NONBLOCK;
    ends.master = ::posix_openpt(flags);
    if (ends.master < 0)
        fail("posix_openpt");
    char name[128] = {};
    if (::grantpt(ends.master) != 0 || ::unlockpt(ends.master) != 0 ||
        ::ptsname_r(ends.master, name, sizeof name) != 0)
        fail("unlocking the slave end");
    ends.slavePath = name;
    ends.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ends.slave < 0)
        fail("opening " + ends.slavePath);
    // On Linux both ends share one set of settings; set both anyway so the
    // line is raw whichever end a platform applies them to.
    if (!makeRaw(ends.slave) || !makeRaw(ends.master))
        fail("making " + ends.slavePath + " raw");
    return ends;
}

}  // namespace oxu::kit
