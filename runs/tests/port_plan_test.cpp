// The ports a front end offers: those named, as given; otherwise every port
// listed, USB adapters first and built-in ports listed but not used; and the
// port options of a command line paired into requests.

#include "runs/port_plan.h"

#include <gtest/gtest.h>

#include "runs/port_requests.h"

namespace oxu::runs {
namespace {

TEST(PlanPorts, NamedPortsAsGivenOtherwiseUsbAdaptersFirstAndBuiltInPortsListedOnly) {
    struct Factory final : PortFactory {
        PortIdentity identify(const PortRequest& request) override {
            return {request.number, request.device.value_or("/dev/mapped"), {}, {}};
        }
        std::unique_ptr<SerialPort> makePort(const PortRequest&, const PortIdentity&) override {
            return nullptr;
        }
    } factory;
    UsbAdapter usb;
    usb.vendorId = 0x0403;
    const std::vector<PortCandidate> candidates{
        {"/dev/ttyS0", 1, {}, {}},
        {"/dev/ttyUSB0", 2, usb, {"/dev/serial/by-id/usb-A"}},
        {"/dev/ttyUSB1", std::nullopt, usb, {}},
        {"/dev/ttyS1", std::nullopt, {}, {}},
    };
    const CandidateScan scan = [&] { return candidates; };

    const auto named = planPorts({{5, std::nullopt}, {2, "/dev/x"}}, factory, scan);
    ASSERT_EQ(named.size(), 2u);
    EXPECT_EQ(named[0].identity.device, "/dev/mapped");
    EXPECT_EQ(named[1].request, (PortRequest{2, "/dev/x"}));
    EXPECT_TRUE(named[0].used && named[1].used);

    const auto listed = planPorts({}, factory, scan);
    struct Expected {
        int number;
        const char* device;
        bool used;
    };
    const Expected expected[] = {{2, "/dev/ttyUSB0", true},
                                 {3, "/dev/ttyUSB1", true},
                                 {1, "/dev/ttyS0", false},
                                 {4, "/dev/ttyS1", false}};
    ASSERT_EQ(listed.size(), std::size(expected));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i].request, (PortRequest{expected[i].number, expected[i].device}));
        EXPECT_EQ(listed[i].identity.number, expected[i].number);
        EXPECT_EQ(listed[i].used, expected[i].used) << expected[i].device;
    }
    EXPECT_EQ(listed[0].identity.names.byId, std::vector<std::string>{"/dev/serial/by-id/usb-A"});
}

TEST(PlanPorts, ListsAtMostPortsOneToSixteen) {
    struct Factory final : PortFactory {
        PortIdentity identify(const PortRequest&) override { return {}; }
        std::unique_ptr<SerialPort> makePort(const PortRequest&, const PortIdentity&) override {
            return nullptr;
        }
    } factory;
    std::vector<PortCandidate> candidates;
    for (int i = 0; i < 20; ++i)
        candidates.push_back({"/dev/ttyACM" + std::to_string(i), std::nullopt, {}, {}});
    const auto listed = planPorts({}, factory, [&] { return candidates; });
    ASSERT_EQ(listed.size(), 16u);
    EXPECT_EQ(listed.back().request.number, 16);
}

TEST(PortRequests, PairsNumbersAndDevicesOrSaysWhatIsWrong) {
    using Numbers = std::vector<int>;
    using Devices = std::vector<std::string>;
    struct Case {
        Numbers numbers;
        Devices devices;
        std::vector<PortRequest> requests;
        const char* error;
    };
    const Case cases[] = {
        {{}, {}, {}, nullptr},
        {{3, 1}, {}, {{3, std::nullopt}, {1, std::nullopt}}, nullptr},
        {{}, {"/dev/a", "/dev/b"}, {{1, "/dev/a"}, {2, "/dev/b"}}, nullptr},
        {{7}, {"/dev/a"}, {{7, "/dev/a"}}, nullptr},
        {{1, 2}, {"/dev/a"}, {}, "give one --device for each port: 2 ports and 1 devices"},
        {{2, 2}, {}, {}, "port 2 is given twice"},
        {Numbers(17, 1), {}, {}, "at most 16 ports at once, not 17"},
    };
    for (const Case& c : cases) {
        try {
            EXPECT_EQ(pairPortRequests(c.numbers, c.devices), c.requests);
            EXPECT_EQ(c.error, nullptr);
        } catch (const PortOptionError& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
    }
}

TEST(PortRequests, ReadsPortNumbersAndListsOfThem) {
    EXPECT_EQ(parsePortList("1-3,7"), (std::vector<int>{1, 2, 3, 7}));
    EXPECT_EQ(parsePortList("16"), std::vector<int>{16});
    EXPECT_EQ(parsePortNumber("09"), 9);
    for (const char* bad : {"", "0", "17", "4-2", "1,,2", "1-", "-3", "a", "1 ", "+1"}) {
        EXPECT_THROW(parsePortList(bad), PortOptionError) << bad;
        EXPECT_THROW(parsePortNumber(bad), PortOptionError) << bad;
    }
    EXPECT_EQ(parseDigits("123456789"), 123456789);
    EXPECT_EQ(parseDigits("1234567890"), std::nullopt);
}

}  // namespace
}  // namespace oxu::runs
