#include <gtest/gtest.h>

#include <QCoreApplication>

// The tests hold and probe ports with QSerialPort, which wants an application.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
