// The port oxu-update takes when none is named, with the system's serial
// devices faked: only a lone USB adapter is taken; none or several stop the
// run as bad usage, listing what could be chosen. And the empty image.

#include "cli/port_choice.h"

#include <gtest/gtest.h>

#include "tests/kit/test_files.h"

namespace oxu::cli {
namespace {

using Args = std::vector<std::string>;

PortCandidate uart(int number) {
    return {"/dev/ttyS" + std::to_string(number - 1), number, {.listed = true}, {}};
}

PortCandidate ftdi(int number, const std::string& serial) {
    UsbAdapter adapter{true, 0x0403, 0x6001, serial, "FTDI", "FT232R"};
    return {"/dev/ttyUSB" + std::to_string(number - 2),
            number,
            adapter,
            {"/dev/serial/by-id/usb-FTDI_FT232R_" + serial + "-if00-port0"}};
}

struct DefaultCase {
    const char* name;
    Args args;
    std::vector<PortCandidate> candidates;
    bool scanned;                      // the scan was asked at all
    std::optional<std::string> line;   // the first line when a port is chosen
    std::vector<std::string> refusal;  // parts of the usage error; empty when none
    runs::PortRequest port;            // the port of the run when it goes ahead
};

class DefaultPort : public testing::TestWithParam<DefaultCase> {};

TEST_P(DefaultPort, TakesOnlyALoneUsbAdapter) {
    const DefaultCase& c = GetParam();
    Options options = parseCommandLine(c.args);
    bool scanned = false;
    const CandidateScan scan = [&] {
        scanned = true;
        return c.candidates;
    };
    if (!c.refusal.empty()) {
        try {
            chooseDefaultPort(options, scan);
            ADD_FAILURE() << "no usage error";
        } catch (const UsageError& error) {
            for (const std::string& part : c.refusal)
                EXPECT_NE(std::string(error.what()).find(part), std::string::npos)
                    << part << "\nnot in:\n"
                    << error.what();
        }
    } else {
        EXPECT_EQ(chooseDefaultPort(options, scan), c.line);
        ASSERT_EQ(options.ports.size(), 1u);
        EXPECT_EQ(options.ports.front(), c.port);
        EXPECT_EQ(options.port, c.port.number);
    }
    EXPECT_EQ(scanned, c.scanned);
}

const std::string kHowToChoose = "--device /dev/serial/by-id/...";

INSTANTIATE_TEST_SUITE_P(
    Adapters, DefaultPort,
    testing::Values(
        DefaultCase{"OneAdapterIsTakenAndNamed",
                    {"fw.bin"},
                    {uart(1), ftdi(2, "A12345")},
                    true,
                    "using /dev/ttyUSB0 (FTDI FT232R, serial A12345), the only USB serial adapter",
                    {},
                    {2, "/dev/ttyUSB0"}},
        DefaultCase{"NoAdapterStopsWithoutTakingTheUart",
                    {"fw.bin"},
                    {uart(1)},
                    true,
                    {},
                    {"no USB serial adapter is present", "--port 1   /dev/ttyS0\n", kHowToChoose,
                     "--port N"},
                    {}},
        DefaultCase{"NothingAtAllSaysSo",
                    {"fw.bin"},
                    {},
                    true,
                    {},
                    {"no USB serial adapter", "(no serial device found)", kHowToChoose},
                    {}},
        DefaultCase{"TwoAdaptersAreListedWithTheirByIdNames",
                    {"fw.bin"},
                    {uart(1), ftdi(2, "A1"), ftdi(3, "B2")},
                    true,
                    {},
                    {"2 USB serial adapters are present",
                     "--port 2   /dev/ttyUSB0  FTDI FT232R, serial A1\n",
                     "--device /dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0\n",
                     "--port 3   /dev/ttyUSB1  FTDI FT232R, serial B2\n",
                     "--device /dev/serial/by-id/usb-FTDI_FT232R_B2-if00-port0\n"},
                    {}},
        DefaultCase{"TheDownloadCommandChoosesAlike",
                    {"--download-command", "--yes"},
                    {uart(1)},
                    true,
                    {},
                    {"no USB serial adapter"},
                    {}},
        DefaultCase{"APortNumberIsKeptEvenForAUart",
                    {"--port", "1", "fw.bin"},
                    {uart(1), ftdi(2, "A1")},
                    false,
                    std::nullopt,
                    {},
                    {1, std::nullopt}},
        DefaultCase{"ANamedDeviceIsKept",
                    {"--device", "/dev/pts/7", "fw.bin"},
                    {ftdi(2, "A1")},
                    false,
                    std::nullopt,
                    {},
                    {1, "/dev/pts/7"}}),
    [](const auto& info) { return info.param.name; });

TEST(DefaultPort, ListingOpensNoPortAndAsksNothingOfTheScan) {
    Options options = parseCommandLine({"--list-ports"});
    EXPECT_EQ(chooseDefaultPort(options,
                                [] {
                                    ADD_FAILURE() << "scanned";
                                    return std::vector<PortCandidate>{};
                                }),
              std::nullopt);
}

TEST(DescribeAdapter, FallsBackToTheUsbIds) {
    EXPECT_EQ(runs::describeAdapter({true, 0x1a86, 0x7523, "", "", ""}), "USB 1a86:7523");
    EXPECT_EQ(runs::describeAdapter({true, 0x0403, 0x6001, "", "FTDI", "FTDI Cable"}), "FTDI Cable");
}

TEST(EmptyImage, IsRefusedNamingTheFile) {
    testkit::TempDir files;
    const std::string empty = files.file("empty.bin", {});
    try {
        refuseEmptyImage(empty);
        ADD_FAILURE() << "accepted";
    } catch (const UsageError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "the firmware file \"" + empty + "\" is empty (0 bytes): nothing to send");
    }
    // One byte is a page; what is missing or unreadable is the run's to report.
    EXPECT_NO_THROW(refuseEmptyImage(files.file("one.bin", {0x01})));
    EXPECT_NO_THROW(refuseEmptyImage(files.path() + "/missing.bin"));
}

}  // namespace
}  // namespace oxu::cli
