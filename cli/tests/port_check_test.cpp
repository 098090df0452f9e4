// The findings of --check-port put into words from facts built by hand: one
// free USB adapter, then one change at a time and what it must make the
// check say.

#include "cli/port_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <functional>

namespace oxu::cli {
namespace {

// An FTDI adapter on /dev/ttyUSB0 that opened, free, for a user in dialout.
PortFacts freeAdapter() {
    PortFacts facts;
    facts.resolution.number = 1;
    facts.resolution.status = PortResolution::Status::Found;
    facts.resolution.device = "/dev/ttyUSB0";
    facts.node.path = facts.node.target = "/dev/ttyUSB0";
    facts.node.isCharacterDevice = true;
    facts.node.rdev = ::makedev(188, 0);
    facts.node.group = 20;
    facts.node.mode = S_IFCHR | 0660;
    facts.access = {true, 0, "operator", "root", "dialout", true, false};
    facts.driver = "ftdi_sio";
    facts.adapter = {.vendorId = 0x0403,
                     .productId = 0x6001,
                     .serialNumber = "A50285BI",
                     .manufacturer = "FTDI",
                     .product = "FT232R USB UART"};
    facts.lock.path = "/var/lock/LCK..ttyUSB0";
    facts.self = 4000;
    facts.lowLatency = {LowLatency::Set, 0};
    facts.rtsError = 0;
    return facts;
}

// The finding that starts with prefix, or "" when there is none.
std::string findingFor(const PortReport& report, const std::string& prefix) {
    for (const std::string& line : report.findings) {
        if (line.rfind(prefix, 0) == 0)
            return line;
    }
    return {};
}

TEST(ReportPort, AFreeAdapterGetsALinePerFinding) {
    const PortReport report = reportPort(freeAdapter());
    EXPECT_TRUE(report.usable);
    EXPECT_EQ(report.problem, "");
    EXPECT_EQ(report.findings,
              (std::vector<std::string>{
                  "device: /dev/ttyUSB0 (COM 1)",
                  "driver: ftdi_sio",
                  "adapter: USB 0403:6001, FTDI, FT232R USB UART, serial number A50285BI",
                  "access: allowed for user operator (crw-rw---- root:dialout)",
                  "in use: no",
                  "ModemManager: not running",
                  "brltty: not running",
                  "low latency: set while the port is open (the driver passes received bytes "
                  "on at once), cleared again at close",
                  "RTS: lowered after the open, as for an update",
                  "result: COM 1 (/dev/ttyUSB0) can be used",
              }));
}

struct Change {
    const char* name;
    std::function<void(PortFacts&)> apply;
    bool usable;
    // Each finding (by its prefix) must hold the text, or be it when the
    // text starts with the prefix.
    std::vector<std::pair<std::string, std::string>> says;
    std::vector<std::string> absent;  // prefixes of findings that must not be there
    std::string problem;              // part of the reason when not usable
};

const char* const kDeniedOpen =
    "Cannot open COM 1 (/dev/ttyUSB0): access is denied; add your user to the dialout group and "
    "log in again (Permission denied)";
const char* const kBusyOpen =
    "Cannot open COM 1 (/dev/ttyUSB0): the port is in use by another program (Permission error "
    "while locking the device)";

void deny(PortFacts& facts) {
    facts.access.allowed = false;
    facts.access.error = EACCES;
    facts.openFailure = kDeniedOpen;
    facts.lowLatency = {};
    facts.rtsError.reset();
}

void PrintTo(const Change& change, std::ostream* out) {
    *out << change.name;
}

class ReportsChange : public testing::TestWithParam<Change> {};

TEST_P(ReportsChange, InItsFindingAndVerdict) {
    const Change& change = GetParam();
    PortFacts facts = freeAdapter();
    change.apply(facts);
    const PortReport report = reportPort(facts);
    std::string all;
    for (const std::string& line : report.findings)
        all += line + "\n";
    SCOPED_TRACE(all + "problem: " + report.problem);

    EXPECT_EQ(report.usable, change.usable);
    EXPECT_EQ(report.findings.back(),
              std::string("result: ") +
                  (facts.resolution.found() ? "COM 1 (/dev/ttyUSB0)" : "COM 1 (no device)") +
                  (change.usable ? " can be used" : " cannot be used"));
    for (const auto& [prefix, text] : change.says) {
        const std::string finding = findingFor(report, prefix);
        if (text.rfind(prefix, 0) == 0)
            EXPECT_EQ(finding, text);
        else
            EXPECT_NE(finding.find(text), std::string::npos) << prefix << text;
    }
    for (const std::string& prefix : change.absent)
        EXPECT_EQ(findingFor(report, prefix), "") << prefix;
    if (change.usable)
        EXPECT_EQ(report.problem, "");
    else
        EXPECT_NE(report.problem.find(change.problem), std::string::npos) << change.problem;
}

INSTANTIATE_TEST_SUITE_P(
    Facts, ReportsChange,
    testing::Values(
        // ---- access
        Change{"DeniedOutsideDialout",
               deny,
               false,
               {{"access:",
                 "denied for user operator (crw-rw---- root:dialout, Permission denied); add "
                 "your user to the dialout group and log in again"}},
               {},
               "dialout group"},
        Change{"DeniedOutsideAnotherGroup",
               [](PortFacts& f) {
                   deny(f);
                   f.access.groupName = "uucp";
               },
               false,
               {{"access:", "the uucp group may use it: add your user to the uucp group"}},
               {},
               "access is denied"},
        Change{"DeniedToAllButTheOwner",
               [](PortFacts& f) {
                   deny(f);
                   f.node.mode = S_IFCHR | 0600;
                   f.access.groupName = "root";
                   f.access.groupMayUse = false;
               },
               false,
               {{"access:", "(crw------- root:root, Permission denied)"},
                {"access:", "only its owner root may open it, not the root group"},
                {"access:", "chgrp dialout /dev/ttyUSB0; chmod 660 /dev/ttyUSB0"},
                {"access:", "add your user to the dialout group and log in again"}},
               {},
               "access is denied"},
        Change{"JoinedDialoutSinceLogin",
               [](PortFacts& f) {
                   deny(f);
                   f.access.memberSinceLogin = true;
               },
               false,
               {{"access:",
                 "operator is in the dialout group, but this login session began before that: "
                 "log out and in again"}},
               {},
               "access is denied"},
        Change{"DeniedForAnotherReason",
               [](PortFacts& f) {
                   deny(f);
                   f.access.error = EROFS;
               },
               false,
               {{"access:", "(crw-rw---- root:dialout, Read-only file system)"}},
               {},
               "access is denied"},
        // ---- other programs
        Change{"HeldByAnotherUpdater",
               [](PortFacts& f) {
                   f.openFailure = kBusyOpen;
                   f.lock = {"/var/lock/LCK..ttyUSB0", true, 4019, true, "oxu-update"};
                   f.openers.users = {{4019, "oxu-update"}};
                   f.lowLatency = {};
                   f.rtsError.reset();
               },
               false,
               {{"in use:",
                 "in use: by PID 4019 (oxu-update), which holds the lock file "
                 "/var/lock/LCK..ttyUSB0"},
                {"low latency:", "not checked, the port did not open"},
                {"RTS:", "not checked, the port did not open"}},
               {},
               std::string(kBusyOpen) + "; held by PID 4019 (oxu-update)"},
        Change{"HeldExclusivelyWithoutALock",
               [](PortFacts& f) {
                   f.openFailure = kBusyOpen;
                   f.openers.users = {{812, "gpsd"}, {900, "cat"}};
               },
               false,
               {{"in use:", "in use: by PID 812 (gpsd), PID 900 (cat)"}},
               {},
               "; held by PID 812 (gpsd), PID 900 (cat)"},
        Change{"OpenInAnotherProgramThatTookNoLock",
               [](PortFacts& f) {
                   f.openers.users = {{77, "minicom"}};
               },
               false,
               {{"in use:", "in use: by PID 77 (minicom)"}},
               {},
               "COM 1 (/dev/ttyUSB0) is also open in PID 77 (minicom), which would take the "
               "device's replies: close it first"},
        Change{"ItsOwnLockIsNoHolder",
               [](PortFacts& f) {
                   f.lock = {"/var/lock/LCK..ttyUSB0", true, 4000, true, "x"};
               },
               true,
               {{"in use:", "in use: no"}},
               {},
               ""},
        Change{"StaleLock",
               [](PortFacts& f) {
                   f.lock = {"/var/lock/LCK..ttyUSB0", true, 31999, false, ""};
               },
               true,
               {{"in use:",
                 "in use: no; the lock file /var/lock/LCK..ttyUSB0 remains from PID 31999, "
                 "which no longer runs"}},
               {},
               ""},
        Change{"OtherUsersProcessesHidden",
               [](PortFacts& f) { f.openers.unreadable = 12; },
               true,
               {{"in use:", "not by any program this user may examine"},
                {"in use:", "12 processes of other users are hidden; run the check as root"}},
               {},
               ""},
        Change{"PseudoTerminalWithItsOtherEnd",
               [](PortFacts& f) {
                   f.node.rdev = ::makedev(136, 3);
                   f.driver.clear();
                   f.adapter = {};
                   f.openers.otherEnds = {{200, "oxu-device-sim"}};
               },
               true,
               {{"driver:", "driver: none (a pseudo-terminal)"},
                {"adapter:", "adapter: no USB vendor or product ID known"},
                {"other end:", "other end: PID 200 (oxu-device-sim)"},
                {"in use:", "in use: no"}},
               {},
               ""},
        Change{"ServicesThatTakeAdapters",
               [](PortFacts& f) {
                   f.modemManager = {{700, "ModemManager"}};
                   f.brltty = {{812, "brltty"}, {813, "brltty"}};
               },
               true,
               {{"ModemManager:", "running (PID 700 (ModemManager))"},
                {"ModemManager:", "ID_MM_DEVICE_IGNORE"},
                {"brltty:", "running (PID 812 (brltty), PID 813 (brltty))"},
                {"brltty:", "sudo apt remove brltty"}},
               {},
               ""},
        // ---- the device
        Change{"MissingDevice",
               [](PortFacts& f) {
                   f.node = {"/dev/ttyUSB0", "", ENOENT};
                   f.openFailure =
                       "Cannot open COM 1 (/dev/ttyUSB0): the device does not exist (No such "
                       "file or directory)";
                   f.lowLatency = {};
                   f.rtsError.reset();
               },
               false,
               {{"device:", "device: /dev/ttyUSB0 (COM 1): does not exist"}},
               {"driver:", "adapter:", "access:", "in use:"},
               "the device does not exist"},
        Change{
            "NoDeviceForTheNumber",
            [](PortFacts& f) {
                f.resolution.status = PortResolution::Status::NoDevice;
                f.resolution.device.clear();
                f.resolution.problem = "no serial device for this number (found none)";
                f.node = {};
                f.openFailure = "Cannot open COM 1: no serial device for this number";
                f.lowLatency = {};
                f.rtsError.reset();
            },
            false,
            {{"device:", "device: none for COM 1: no serial device for this number (found none)"}},
            {"driver:", "access:", "in use:"},
            "Cannot open COM 1: no serial device"},
        Change{"RegularFile",
               [](PortFacts& f) {
                   f.node.isCharacterDevice = false;
                   f.node.rdev = 0;
                   f.node.mode = S_IFREG | 0644;
                   f.openFailure = "Cannot open COM 1 (/dev/ttyUSB0): Inappropriate ioctl";
                   f.lowLatency = {};
                   f.rtsError.reset();
               },
               false,
               {{"device:", "(COM 1): not a character device, so not a serial port"},
                {"access:", "(-rw-r--r-- root:dialout)"}},
               {"driver:", "adapter:"},
               "COM 1 (/dev/ttyUSB0) is not a serial port"},
        Change{"ByLink",
               [](PortFacts& f) {
                   f.node.path = "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0";
                   f.lowLatency = {LowLatency::Refused, EPERM};
               },
               true,
               {{"device:",
                 "device: /dev/serial/by-id/usb-FTDI_FT232R-if00-port0 -> /dev/ttyUSB0 (COM 1)"},
                {"low latency:", "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"}},
               {},
               ""},
        // ---- the line
        Change{"LowLatencyAlreadySet",
               [](PortFacts& f) {
                   f.lowLatency = {LowLatency::AlreadySet, 0};
               },
               true,
               {{"low latency:", "low latency: already set; left as it is"}},
               {},
               ""},
        Change{"LowLatencyRefusedByFtdi",
               [](PortFacts& f) {
                   f.lowLatency = {LowLatency::Refused, EPERM};
               },
               true,
               {{"low latency:",
                 "refused by the driver (Operation not permitted); the adapter may hold received "
                 "bytes back for up to 16 ms; set its latency timer by hand: echo 1 | sudo tee "
                 "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"}},
               {},
               ""},
        Change{"LowLatencyRefusedWithoutATimerToSet",
               [](PortFacts& f) {
                   f.driver = "cp210x";
                   f.lowLatency = {LowLatency::Refused, EINVAL};
               },
               true,
               {{"low latency:", "refused by the driver (Invalid argument)"}},
               {"low latency: refused by the driver (Invalid argument); the adapter may hold "
                "received bytes back for up to 16 ms;"},
               ""},
        Change{"LowLatencyNotOffered",
               [](PortFacts& f) {
                   f.lowLatency = {LowLatency::NotOffered, ENOTTY};
               },
               true,
               {{"low latency:",
                 "not offered (the driver has no serial flags: Inappropriate ioctl for device)"}},
               {},
               ""},
        Change{"LowLatencyIgnored",
               [](PortFacts& f) {
                   f.lowLatency = {LowLatency::NotOffered, 0};
               },
               true,
               {{"low latency:", "not offered (the driver ignores the flag)"}},
               {},
               ""},
        Change{"RtsWithoutModemLines",
               [](PortFacts& f) { f.rtsError = ENOTTY; },
               true,
               {{"RTS:",
                 "RTS: not offered (the line has no modem-control lines: Inappropriate ioctl for "
                 "device)"}},
               {},
               ""},
        Change{"RtsRefused",
               [](PortFacts& f) { f.rtsError = EIO; },
               true,
               {{"RTS:", "RTS: could not be lowered (Input/output error)"}},
               {},
               ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace oxu::cli
