#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "app/app_setup.h"

// The window needs an application; the offscreen platform needs no display.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    oxu::setUpApplication(app);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
