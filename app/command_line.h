#pragma once

// What oxu-updater does before any window exists: --help and --version
// answer on standard output, anything else on the command line is refused,
// and a session without a display is pointed to oxu-update. All of it is
// decided before the toolkit starts, since Qt ends the process when it finds
// no display.

#include <optional>

namespace oxu {

// The exit code when the program is to end without a window, once it has
// said why (--help and --version on standard output, everything else on
// standard error); nothing when the window is to open. Reads argv[1..] and
// the environment (DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM).
std::optional<int> answerWithoutWindow(int argc, char** argv);

}  // namespace oxu
