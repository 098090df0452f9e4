#include "serial/port_mapping.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "serial/tests/fake_scan.h"

namespace oxu {
namespace {

using testkit::fakeScan;

struct ResolveCase {
    const char* name;
    int number;
    std::map<std::string, std::string> environment;
    std::vector<std::string> devices;
    PortResolution::Status status;
    std::string device;   // expected when Found
    std::string problem;  // expected otherwise
};

TEST(PortMappingTest, ResolvesNumbersByEnvironmentThenScanOrder) {
    const std::vector<std::string> two = {"/dev/ttyUSB0", "/dev/ttyACM0"};
    const ResolveCase cases[] = {
        {"first scanned device", 1, {}, two, PortResolution::Status::Found, "/dev/ttyUSB0", ""},
        {"second scanned device", 2, {}, two, PortResolution::Status::Found, "/dev/ttyACM0", ""},
        {"environment wins over scan",
         1,
         {{"OXU_COM1", "/dev/pts/7"}},
         two,
         PortResolution::Status::Found,
         "/dev/pts/7",
         ""},
        {"environment for a number beyond the scan",
         9,
         {{"OXU_COM9", "/tmp/link"}},
         two,
         PortResolution::Status::Found,
         "/tmp/link",
         ""},
        {"another number's variable is ignored",
         2,
         {{"OXU_COM1", "/dev/pts/7"}},
         two,
         PortResolution::Status::Found,
         "/dev/ttyACM0",
         ""},
        {"empty variable falls back to scan",
         1,
         {{"OXU_COM1", ""}},
         two,
         PortResolution::Status::Found,
         "/dev/ttyUSB0",
         ""},
        {"nth device missing",
         3,
         {},
         two,
         PortResolution::Status::NoDevice,
         "",
         "no serial device for this number (found 2: /dev/ttyUSB0, /dev/ttyACM0); set OXU_COM3 "
         "to a device path"},
        {"no devices at all",
         1,
         {},
         {},
         PortResolution::Status::NoDevice,
         "",
         "no serial device for this number (found none); set OXU_COM1 to a device path"},
        {"zero",
         0,
         {},
         two,
         PortResolution::Status::OutOfRange,
         "",
         "Port number 0 is out of range 1 to 16"},
        {"seventeen",
         17,
         {{"OXU_COM17", "/dev/pts/7"}},
         two,
         PortResolution::Status::OutOfRange,
         "",
         "Port number 17 is out of range 1 to 16"},
        {"negative",
         -3,
         {},
         two,
         PortResolution::Status::OutOfRange,
         "",
         "Port number -3 is out of range 1 to 16"},
        {"sixteen is the last",
         16,
         {{"OXU_COM16", "/dev/ttyS4"}},
         two,
         PortResolution::Status::Found,
         "/dev/ttyS4",
         ""},
    };
    for (const ResolveCase& c : cases) {
        SCOPED_TRACE(c.name);
        PortResolution resolution = resolvePort(c.number, fakeScan(c.environment, c.devices));
        EXPECT_EQ(resolution.number, c.number);
        EXPECT_EQ(resolution.status, c.status);
        EXPECT_EQ(resolution.device, c.device);
        EXPECT_EQ(resolution.problem, c.problem);
        auto variable = c.environment.find(portVariableName(c.number));
        const bool named = variable != c.environment.end() && !variable->second.empty();
        EXPECT_EQ(resolution.fromEnvironment, named && c.status == PortResolution::Status::Found);
    }
}

TEST(PortMappingTest, DeviceGivenForANumberWinsOverEnvironmentAndScan) {
    const PortScan scan = fakeScan({{"OXU_COM2", "/dev/pts/7"}}, {"/dev/ttyUSB0"});
    const struct {
        const char* name;
        int number;
        std::optional<std::string> device;
        PortResolution::Status status;
        std::string expected;
    } cases[] = {
        {"over the environment", 2, "/tmp/given", PortResolution::Status::Found, "/tmp/given"},
        {"over the scan", 1, "/tmp/given", PortResolution::Status::Found, "/tmp/given"},
        {"beyond the scan", 9, "/tmp/given", PortResolution::Status::Found, "/tmp/given"},
        {"none given", 2, std::nullopt, PortResolution::Status::Found, "/dev/pts/7"},
        {"out of range all the same", 17, "/tmp/given", PortResolution::Status::OutOfRange, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PortResolution resolution = resolvePort(c.number, c.device, scan);
        EXPECT_EQ(resolution.number, c.number);
        EXPECT_EQ(resolution.status, c.status);
        EXPECT_EQ(resolution.device, c.expected);
        EXPECT_EQ(resolution.fromEnvironment, !c.device && c.number == 2);
        EXPECT_EQ(resolution.problem.empty(), resolution.found());
    }
}

class ScanDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = std::filesystem::temp_directory_path() /
                 ("oxu-scan-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directories(m_root / "dev");
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    void addNode(const std::string& name) { std::ofstream(m_root / "dev" / name).put('\0'); }
    void setUartType(const std::string& name, const std::string& type) {
        std::filesystem::create_directories(m_root / "sys/class/tty" / name);
        std::ofstream(m_root / "sys/class/tty" / name / "type") << type << "\n";
    }
    std::string dev(const std::string& name) const { return (m_root / "dev" / name).string(); }

    std::filesystem::path m_root;
};

TEST_F(ScanDirectoryTest, ListsUartsThenUsbThenAcmInNumericOrder) {
    for (const char* name :
         {"ttyACM1", "ttyUSB10", "ttyS10", "ttyUSB2", "ttyS0", "ttyACM0", "ttyS1", "ttyS2", "ttyS3",
          "tty0", "ttyUSB", "ttyUSBx", "ttySAC0", "console", "ttyprintk"})
        addNode(name);
    setUartType("ttyS0", "4");
    setUartType("ttyS1", "0");  // a node with no UART behind it
    setUartType("ttyS10", "4");
    setUartType("ttyS3", "junk");  // unreadable type: not trusted as a UART
    // ttyS2 has no sysfs entry at all

    EXPECT_EQ(scanSerialDevices(m_root),
              (std::vector<std::string>{dev("ttyS0"), dev("ttyS10"), dev("ttyUSB2"),
                                        dev("ttyUSB10"), dev("ttyACM0"), dev("ttyACM1")}));
}

TEST_F(ScanDirectoryTest, ScannedDevicesFeedTheMapping) {
    addNode("ttyS0");
    setUartType("ttyS0", "0");
    addNode("ttyUSB0");
    addNode("ttyACM0");
    PortScan scan = fakeScan({}, {});
    scan.devices = [this] { return scanSerialDevices(m_root); };
    EXPECT_EQ(resolvePort(1, scan).device, dev("ttyUSB0"));
    EXPECT_EQ(resolvePort(2, scan).device, dev("ttyACM0"));
    EXPECT_EQ(resolvePort(3, scan).status, PortResolution::Status::NoDevice);
}

TEST(PortMappingTest, MissingDevDirectoryGivesNoDevices) {
    EXPECT_TRUE(scanSerialDevices("/nonexistent-oxu-root").empty());
}

}  // namespace
}  // namespace oxu
