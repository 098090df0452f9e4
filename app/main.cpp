// OXU Updater: one window that sends firmware to a device on a serial line.

#include <QApplication>

#include "app/app_setup.h"
#include "app/command_line.h"
#include "app/form1.h"

int main(int argc, char** argv) {
    if (const std::optional<int> exitCode = oxu::answerWithoutWindow(argc, argv))
        return *exitCode;
    QApplication app(argc, argv);
    oxu::setUpApplication(app);
    oxu::Form1 window;
    window.show();
    return app.exec();
}
