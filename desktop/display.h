#pragma once

// Whether a window program can open its window. Qt ends the process when its
// platform finds no display, so the programs ask first and say what to do
// instead.

namespace oxu {

// False when neither DISPLAY nor WAYLAND_DISPLAY is set and QT_QPA_PLATFORM
// names no platform that works without a display server: unset, or only xcb
// and wayland in its list ("wayland;xcb", each with optional settings after a
// colon). Any other platform (offscreen, minimal, vnc, eglfs, ...) is left to
// Qt to judge.
bool displayAvailable();

}  // namespace oxu
