#include "desktop/display.h"

#include <cstdlib>
#include <string_view>

namespace oxu {
namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

bool displayAvailable() {
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY"))
        return true;
    const char* platforms = std::getenv("QT_QPA_PLATFORM");
    std::string_view rest = platforms != nullptr ? platforms : "";
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        std::string_view name = rest.substr(0, end);
        name = name.substr(0, name.find(':'));
        if (name != "xcb" && name.substr(0, 7) != "wayland")
            return true;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return false;
}

}  // namespace oxu
