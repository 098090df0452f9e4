#include "app/command_line.h"

#include <iostream>
#include <string>
#include <string_view>

#include "desktop/display.h"
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
    if (!displayAvailable()) {
        std::cerr << "oxu-updater: no display (DISPLAY and WAYLAND_DISPLAY are not set); use "
                     "oxu-update for a terminal\n";
        return kExitNoDisplay;
    }
    return std::nullopt;
}

}  // namespace oxu
