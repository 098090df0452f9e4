// readLineSettings: the kernel's termios2 gives the speed as a number rather
// than as one of the B* codes. Its header cannot share a file with
// <termios.h>, hence a file of its own.

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "device/pty_line.h"

namespace oxu::sim {

std::optional<LineSettings> readLineSettings(int fd) {
    termios2 current{};
    if (ioctl(fd, TCGETS2, &current) != 0)
        return std::nullopt;
    LineSettings settings;
    settings.baud = static_cast<long>(current.c_ospeed);
    static_assert(CS5 == 0 && CS7 == 2 * CS6 && CS8 == 3 * CS6, "CS5..CS8 count up in CSIZE");
    settings.dataBits = 5 + static_cast<int>((current.c_cflag & CSIZE) / CS6);
    settings.parity = (current.c_cflag & PARENB) ? ((current.c_cflag & PARODD) ? 'o' : 'e') : 'n';
    settings.stopBits = (current.c_cflag & CSTOPB) ? 2 : 1;
    return settings;
}

}  // namespace oxu::sim
