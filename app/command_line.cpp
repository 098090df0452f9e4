#include "app/command_line.h"

#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "oxu_version.h"

namespace oxu {
namespace {

constexpr int kExitNoDisplay = 1;
constexpr int kExitUsage = 64;

constexpr const char* kUsageLine = "Usage: oxu-updater [--help | --version]\n";
constexpr const char* kHelpText = R"(
The OXU Updater window: sends a firmware image to an OXU device on a serial
line. The port, the baud rate and the file are chosen in the window;
oxu-update does the same from a terminal or a script.

  -h, --help     show this text and exit
  --version      show the version and exit
)";

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether Qt would look for a display server: its default platform does, and
// so do xcb and wayland when they are asked for by name. Any other platform
// named in QT_QPA_PLATFORM (offscreen, minimal, vnc, eglfs, linuxfb...) needs
// none, and Qt is left to judge it.
bool platformNeedsDisplay() {
    const char* platforms = std::getenv("QT_QPA_PLATFORM");
    if (platforms == nullptr || *platforms == '\0')
        return true;
    // A list of choices tried in turn ("wayland;xcb"), each with optional
    // settings after a colon ("vnc:size=800x600").
    std::string_view rest(platforms);
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        std::string_view name = rest.substr(0, end);
        name = name.substr(0, name.find(':'));
        if (name != "xcb" && name.substr(0, 7) != "wayland")
            return false;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return true;
}

}  // namespace

std::optional<int> answerWithoutWindow(int argc, char** argv) {
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else {
            const bool option = arg.size() > 1 && arg[0] == '-';
            std::cerr << "oxu-updater: " << (option ? "unknown option '" : "unexpected argument '")
                      << arg << "': everything is chosen in the window\n"
                      << kUsageLine << "Try 'oxu-updater --help' for more information.\n";
            return kExitUsage;
        }
    }
    if (help) {
        std::cout << kUsageLine << kHelpText;
        return 0;
    }
    if (version) {
        std::cout << "oxu-updater " << kVersion << '\n';
        return 0;
    }
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && platformNeedsDisplay()) {
        std::cerr << "oxu-updater: no display (DISPLAY and WAYLAND_DISPLAY are not set); use "
                     "oxu-update for a terminal\n";
        return kExitNoDisplay;
    }
    return std::nullopt;
}

}  // namespace oxu
