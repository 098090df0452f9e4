// The responders need an application object; every window is drawn off screen.

#include <gtest/gtest.h>

#include <QApplication>

#include "bench/update_runs.h"

int main(int argc, char** argv) {
    oxu::bench::OffscreenArguments qtArguments(argc, argv);
    QApplication application(qtArguments.count(), qtArguments.values());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
