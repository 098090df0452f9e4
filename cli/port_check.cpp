#include "cli/port_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace oxu::cli {
namespace {

std::string systemText(int error) {
    return std::strerror(error);
}

// "crw-rw----", as ls shows a node's type and permissions.
std::string formatMode(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISREG(mode) ? "-" : "?";
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        text += (mode & (0400 >> bit)) != 0 ? letters[bit] : '-';
    return text;
}

std::string formatProcess(const ProcessRef& process) {
    return "PID " + std::to_string(process.pid) + " (" +
           (process.name.empty() ? "name unknown" : process.name) + ")";
}

std::string formatProcesses(const std::vector<ProcessRef>& processes) {
    std::string text;
    for (const ProcessRef& process : processes)
        text += (text.empty() ? "" : ", ") + formatProcess(process);
    return text;
}

// The device's own name, as sysfs and the lock file know it ("ttyUSB0").
std::string deviceName(const DeviceNode& node) {
    return std::filesystem::path(node.target.empty() ? node.path : node.target).filename().string();
}

std::string describeDevice(const PortFacts& facts) {
    const DeviceNode& node = facts.node;
    std::string text = "device: " + node.path;
    if (!node.target.empty() && node.target != node.path)
        text += " -> " + node.target;
    text += " (COM " + std::to_string(facts.resolution.number) + ")";
    if (!node.exists())
        return text + (node.error == ENOENT ? ": does not exist" : ": " + systemText(node.error));
    if (!node.isCharacterDevice)
        return text + ": not a character device, so not a serial port";
    return text;
}

std::string describeDriver(const PortFacts& facts) {
    if (!facts.driver.empty())
        return "driver: " + facts.driver;
    return ptyIndex(facts.node.rdev) ? "driver: none (a pseudo-terminal)" : "driver: none";
}

std::string describeAdapter(const UsbAdapter& adapter) {
    if (!adapter.vendorId || !adapter.productId)
        return "adapter: no USB vendor or product ID known";
    std::string text =
        "adapter: USB " + formatUsbId(*adapter.vendorId) + ":" + formatUsbId(*adapter.productId);
    for (const std::string& part : {adapter.manufacturer, adapter.product}) {
        if (!part.empty())
            text += ", " + part;
    }
    if (!adapter.serialNumber.empty())
        text += ", serial number " + adapter.serialNumber;
    return text;
}

std::string describeAccess(const PortFacts& facts) {
    const NodeAccess& access = facts.access;
    const std::string node =
        formatMode(facts.node.mode) + " " + access.ownerName + ":" + access.groupName;
    if (access.allowed)
        return "access: allowed for user " + access.userName + " (" + node + ")";
    const std::string text = "access: denied for user " + access.userName + " (" + node + ", " +
                             systemText(access.error) + ")";
    const std::string advice = adviseAccess(access, facts.node.path);
    return advice.empty() ? text : text + "; " + advice;
}

// The programs holding the port, the lock file's first. The lock and the
// open files tell of the same program when their PIDs agree.
std::vector<ProcessRef> findHolders(const PortFacts& facts) {
    std::vector<ProcessRef> holders;
    if (facts.lock.running && facts.lock.pid != facts.self)
        holders.push_back({facts.lock.pid, facts.lock.name});
    for (const ProcessRef& user : facts.openers.users) {
        if (holders.empty() || user.pid != holders.front().pid)
            holders.push_back(user);
    }
    return holders;
}

std::string describeUse(const PortFacts& facts) {
    const std::vector<ProcessRef> holders = findHolders(facts);
    if (!holders.empty()) {
        std::string text = "in use: by ";
        for (std::size_t i = 0; i < holders.size(); ++i) {
            text += (i == 0 ? "" : ", ") + formatProcess(holders[i]);
            if (i == 0 && facts.lock.running && holders[i].pid == facts.lock.pid)
                text += ", which holds the lock file " + facts.lock.path;
        }
        return text;
    }
    std::string text = "in use: no";
    if (facts.openers.unreadable > 0)
        text = "in use: not by any program this user may examine (the open files of " +
               std::to_string(facts.openers.unreadable) +
               " processes of other users are hidden; run the check as root to see them)";
    if (facts.lock.present && !facts.lock.running && facts.lock.pid != 0)
        text += "; the lock file " + facts.lock.path + " remains from PID " +
                std::to_string(facts.lock.pid) + ", which no longer runs";
    return text;
}

std::string describeModemManager(const std::vector<ProcessRef>& running) {
    if (running.empty())
        return "ModemManager: not running";
    return "ModemManager: running (" + formatProcesses(running) +
           "): it probes serial devices for modems as they appear and may hold this one for "
           "some seconds; to keep it off: sudo systemctl stop ModemManager, or a udev rule "
           "setting ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter";
}

std::string describeBrltty(const std::vector<ProcessRef>& running) {
    if (running.empty())
        return "brltty: not running";
    return "brltty: running (" + formatProcesses(running) +
           "): it claims some USB-serial adapters as braille displays when they are plugged "
           "in, and their ttyUSB device then goes away; without a braille display: sudo apt "
           "remove brltty";
}

// The serial layer's words, with how to do by hand what the driver refused.
std::string describeLowLatency(const PortFacts& facts) {
    std::string text = oxu::describeLowLatency(facts.lowLatency);
    if (facts.lowLatency.outcome == LowLatency::Refused && facts.driver == "ftdi_sio")
        text += "; set its latency timer by hand: echo 1 | sudo tee /sys/bus/usb-serial/devices/" +
                deviceName(facts.node) + "/latency_timer";
    return text;
}

std::string describeRequestToSend(const std::optional<int>& error) {
    if (!error)
        return "RTS: not checked, the port did not open";
    if (*error == 0)
        return "RTS: lowered after the open, as for an update";
    if (*error == ENOTTY)
        return "RTS: not offered (the line has no modem-control lines: " + systemText(*error) + ")";
    return "RTS: could not be lowered (" + systemText(*error) + ")";
}

}  // namespace

PortReport reportPort(const PortFacts& facts) {
    PortReport report;
    std::vector<std::string>& lines = report.findings;
    const bool present = facts.resolution.found() && facts.node.exists();
    if (!facts.resolution.found())
        lines.push_back("device: none for COM " + std::to_string(facts.resolution.number) + ": " +
                        facts.resolution.problem);
    else
        lines.push_back(describeDevice(facts));
    if (present && facts.node.isCharacterDevice) {
        lines.push_back(describeDriver(facts));
        lines.push_back(describeAdapter(facts.adapter));
    }
    if (present) {
        lines.push_back(describeAccess(facts));
        lines.push_back(describeUse(facts));
    }
    if (!facts.openers.otherEnds.empty())
        lines.push_back("other end: " + formatProcesses(facts.openers.otherEnds));
    lines.push_back(describeModemManager(facts.modemManager));
    lines.push_back(describeBrltty(facts.brltty));
    lines.push_back(describeLowLatency(facts));
    lines.push_back(describeRequestToSend(facts.rtsError));

    const std::string port = describePort(facts.resolution);
    const std::vector<ProcessRef> holders = findHolders(facts);
    if (present && !facts.node.isCharacterDevice) {
        report.problem =
            port + " is not a serial port: " + facts.node.path + " is not a character device";
    } else if (!facts.openFailure.empty()) {
        report.problem = facts.openFailure;
        if (!holders.empty())
            report.problem += "; held by " + formatProcesses(holders);
    } else if (!holders.empty()) {
        report.problem = port + " is also open in " + formatProcesses(holders) +
                         ", which would take the device's replies: close it first";
    }
    report.usable = report.problem.empty();
    lines.push_back("result: " + port + (report.usable ? " can be used" : " cannot be used"));
    return report;
}

int checkPort(const Options& options) {
    const PortReport report =
        reportPort(gatherPortFacts(options.port, options.baud, options.device));
    for (const std::string& line : report.findings)
        std::cout << line << '\n';
    std::cout << std::flush;
    if (report.usable)
        return kExitComplete;
    std::cerr << kProgramName << ": " << report.problem << std::endl;
    return kExitNotStarted;
}

}  // namespace oxu::cli
