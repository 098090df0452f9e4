#pragma once

// Pseudo-terminals for the tools and the tests that play a device: one end
// (the master) is the device's, the program under test opens the other (the
// slave) by its path as it would open a serial adapter.

#include <termios.h>

#include <optional>
#include <string>

namespace oxu::kit {

// The two ends of a pseudo-terminal. The caller owns both descriptors.
struct PtyEnds {
    int master = -1;
    int slave = -1;
    std::string slavePath;  // e.g. /dev/pts/7
};

enum class MasterMode { Blocking, NonBlocking };

// Puts the terminal behind fd in raw mode: every byte passes unchanged both
// ways (no echo, no line editing, no CR/LF mapping, 8 data bits, no parity),
// modem lines ignored and the receiver on (CLOCAL | CREAD). With a speed
// (B38400...), sets it in the same call, so no half-made settings are ever
// seen; without, leaves the speed as it is. Returns false, with errno set,
// when fd is no terminal or refuses the settings.
bool makeRaw(int fd, std::optional<speed_t> speed = std::nullopt);

// Opens a pseudo-terminal with both ends raw (see makeRaw) and close-on-exec,
// so a program started meanwhile holds neither end. The slave stays open so
// the master sees no hang-up while programs open and close the path; close
// it to let the program's close be seen. Throws std::runtime_error naming
// the step that failed and the system's reason; then nothing is left open.
PtyEnds openRawPty(MasterMode mode = MasterMode::Blocking);

}  // namespace oxu::kit
