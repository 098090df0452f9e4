// Whether a display can be reached, from the session's environment.

#include "desktop/display.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace oxu {
namespace {

TEST(DisplayAvailable, FollowsTheDisplayVariablesAndThePlatformsAsked) {
    const struct {
        const char* display;
        const char* wayland;
        const char* platform;  // nullptr: unset
        bool available;
    } cases[] = {
        {"", "", nullptr, false},
        {"", "", "", false},
        {":0", "", nullptr, true},
        {"", "wayland-0", nullptr, true},
        {"", "", "offscreen", true},
        {"", "", "xcb", false},
        {"", "", "wayland;xcb", false},
        {"", "", "wayland-egl:foo=1;xcb", false},
        {"", "", "xcb;vnc:size=800x600", true},
        {":1", "", "xcb", true},
    };
    for (const auto& c : cases) {
        ::setenv("DISPLAY", c.display, 1);
        ::setenv("WAYLAND_DISPLAY", c.wayland, 1);
        if (c.platform != nullptr)
            ::setenv("QT_QPA_PLATFORM", c.platform, 1);
        else
            ::unsetenv("QT_QPA_PLATFORM");
        EXPECT_EQ(displayAvailable(), c.available)
            << c.display << " | " << c.wayland << " | " << (c.platform ? c.platform : "(unset)");
    }
}

}  // namespace
}  // namespace oxu
