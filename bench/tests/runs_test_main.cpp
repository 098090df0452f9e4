// The responders need an application object; every window is drawn off screen.

#include <gtest/gtest.h>

#include <QApplication>
#include <vector>

int main(int argc, char** argv) {
    std::vector<char*> qtArguments(argv, argv + argc);
    char platformOption[] = "-platform";
    char offscreen[] = "offscreen";
    qtArguments.insert(qtArguments.begin() + 1, {platformOption, offscreen});
    int qtArgumentCount = static_cast<int>(qtArguments.size());
    QApplication application(qtArgumentCount, qtArguments.data());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
