// USB adapters read from a fake sysfs tree (Linux's layout): found above the
// tty through its interface, and nothing for a UART or a virtual terminal.

#include "serial/usb_adapter.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/kit/test_files.h"

namespace oxu {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text << '\n';
}

void link(const fs::path& path, const fs::path& target) {
    fs::create_directories(path.parent_path());
    fs::create_symlink(target, path);
}

TEST(UsbAdapter, IsTheUsbDeviceAboveTheTty) {
    testkit::TempDir dir;
    const fs::path root = dir.path(), sys = root / "sys";
    // usb-serial: tty -> port -> interface -> USB device.
    const fs::path ftdi = sys / "devices/usb1/1-1";
    for (const auto& [name, value] : {std::pair{"idVendor", "0403"},
                                      {"idProduct", "6001"},
                                      {"serial", "A12345"},
                                      {"manufacturer", "FTDI"},
                                      {"product", "FT232R USB UART"}})
        writeFile(ftdi / name, value);
    const fs::path port = ftdi / "1-1:1.0/ttyUSB0";
    link(port / "tty/ttyUSB0/device", port);
    link(sys / "class/tty/ttyUSB0", port / "tty/ttyUSB0");
    // cdc_acm: tty -> interface -> USB device, with no serial number.
    const fs::path acm = sys / "devices/usb1/1-2";
    writeFile(acm / "idVendor", "2341");
    writeFile(acm / "idProduct", "0043");
    link(acm / "1-2:1.0/tty/ttyACM0/device", acm / "1-2:1.0");
    link(sys / "class/tty/ttyACM0", acm / "1-2:1.0/tty/ttyACM0");
    // A UART, and a virtual terminal with no device.
    const fs::path uart = sys / "devices/pnp0/00:01";
    link(uart / "tty/ttyS0/device", uart);
    link(sys / "class/tty/ttyS0", uart / "tty/ttyS0");
    fs::create_directories(sys / "devices/virtual/tty/tty1");
    link(sys / "class/tty/tty1", sys / "devices/virtual/tty/tty1");

    const UsbAdapter adapter = readUsbAdapter("ttyUSB0", root);
    EXPECT_TRUE(adapter.listed);
    EXPECT_EQ(adapter.vendorId, 0x0403);
    EXPECT_EQ(adapter.productId, 0x6001);
    EXPECT_EQ(adapter.serialNumber, "A12345");
    EXPECT_EQ(adapter.manufacturer, "FTDI");
    EXPECT_EQ(adapter.product, "FT232R USB UART");

    const UsbAdapter serialPort = readUsbAdapter("ttyS0", root);
    EXPECT_TRUE(serialPort.listed);
    EXPECT_FALSE(serialPort.vendorId);
    EXPECT_FALSE(readUsbAdapter("tty1", root).listed);
    EXPECT_FALSE(readUsbAdapter("ttyUSB9", root).listed);

    const std::vector<UsbSerialDevice> usb = listUsbSerialDevices(root);
    ASSERT_EQ(usb.size(), 2u);
    EXPECT_EQ(usb[0].device, "/dev/ttyACM0");
    EXPECT_EQ(usb[0].adapter.vendorId, 0x2341);
    EXPECT_EQ(usb[0].adapter.serialNumber, "");
    EXPECT_EQ(usb[1].device, "/dev/ttyUSB0");
}

}  // namespace
}  // namespace oxu
