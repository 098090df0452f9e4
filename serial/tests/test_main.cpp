// The serial tests need a Qt event loop. The same binary also serves as the
// "other program" of the busy-port and permission tests, so that those run
// in a second process exactly as a user would meet them.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "serial/qt_serial_port.h"

namespace {

// Opens path with Qt and holds it until stdin closes.
int holdPort(const char* path) {
    QSerialPort port{QString::fromLocal8Bit(path)};
    if (!port.open(QIODevice::ReadWrite)) {
        std::cout << "failed: " << port.errorString().toStdString() << std::endl;
        return 1;
    }
    std::cout << "held" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}

// Opens path as COM 1 and prints the outcome: "opened", or the error's kind
// and text ("access_denied: Cannot open COM 1 ...").
int tryOpen(const char* path) {
    oxu::PortScan scan;
    scan.environment = [path](const std::string& name) -> std::optional<std::string> {
        if (name == "OXU_COM1")
            return std::string(path);
        return std::nullopt;
    };
    oxu::QtSerialPort port(scan);
    try {
        port.open();
        std::cout << "opened" << std::endl;
    } catch (const oxu::SerialError& error) {
        std::cout << oxu::portErrorKey(error.kind()) << ": " << error.what() << std::endl;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--hold-port") == 0)
        return holdPort(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--try-open") == 0)
        return tryOpen(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
