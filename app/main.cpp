// OXU Updater: one window that sends firmware to a device on a serial line.

#include <QApplication>

#include "app/app_setup.h"
#include "app/form1.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    oxu::setUpApplication(app);
    oxu::Form1 window;
    window.show();
    return app.exec();
}
