// The ports a front end offers: those named, as given; otherwise every port
// listed, USB adapters first and built-in ports listed but not used.

#include "runs/port_plan.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace oxu::runs
