// oxu-updater-scripted: the operator's window, driven by commands on standard
// input (see scripted_form.h). For tests and the benchmark only.

#include <QApplication>

#include "app/app_setup.h"
#include "app/tests/scripted_form.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    oxu::setUpApplication(app);
    oxu::testkit::ScriptedForm1 window;
    window.show();
    return app.exec();
}
