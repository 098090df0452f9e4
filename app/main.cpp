// OXU Updater: one window that sends firmware to a device on a serial line.

#include <QApplication>
#include <memory>

#include "app/app_setup.h"
#include "app/form1.h"
#include "app/scripted_form.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    oxu::setUpApplication(app);
    std::unique_ptr<oxu::Form1> window;
    if (oxu::testControlRequested())
        window = std::make_unique<oxu::ScriptedForm1>();
    else
        window = std::make_unique<oxu::Form1>();
    window->show();
    return app.exec();
}
