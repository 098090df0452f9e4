#pragma once

// What the system knows of a serial device besides the port itself: its
// node and who may open it, the kernel driver behind it, the programs that
// have it open or locked, and running services known to take USB-serial
// adapters. Read from the node, sysfs, /proc and the lock directory, without
// opening the device. Every reader takes the tree it reads as a parameter, so
// tests hand it a fake one. Plain POSIX; never throws.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace oxu {

// A running process: its ID and its name as /proc/<pid>/comm gives it.
struct ProcessRef {
    int pid = 0;
    std::string name;
    bool operator==(const ProcessRef&) const = default;
};

// The node at a device path.
struct DeviceNode {
    std::string path;    // as given
    std::string target;  // the same with symbolic links resolved; empty when missing
    int error = 0;       // errno of stat(); 0 when the node exists
    bool isCharacterDevice = false;
    dev_t rdev = 0;  // the device number, for a character device
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;  // the permission bits and file type

    bool exists() const { return error == 0; }
};

// Whether this process may open a node for reading and writing, and if not,
// what its user lacks.
struct NodeAccess {
    bool allowed = false;
    int error = 0;             // errno of access() when not allowed
    std::string userName;      // the real user of this process
    std::string ownerName;     // the node's owner, numeric when unnamed
    std::string groupName;     // the node's group, numeric when unnamed
    bool groupMayUse = false;  // the node's group may read and write it
    // The group database lists the user in the node's group, but this process
    // was started without it: the login session predates the membership.
    bool memberSinceLogin = false;
};

// Everything /proc tells of the programs that have a device open.
struct DeviceOpeners {
    std::vector<ProcessRef> users;  // the device open, this process excepted
    // For a pseudo-terminal: those holding its other end (the master), the
    // device's side of the line. They are not counted in users.
    std::vector<ProcessRef> otherEnds;
    int unreadable = 0;  // processes whose open files this user may not read
};

// The lock file Qt Serial Port keeps while a port is open, with the PID of
// the program that wrote it (lockdev and uucp-style programs write the same).
struct DeviceLock {
    std::string path;  // where it is (or would be)
    bool present = false;
    int pid = 0;           // the PID inside; 0 when unreadable
    bool running = false;  // a process with that PID exists
    std::string name;      // its name when running
};

// stat() of path and of what it links to. Never throws.
DeviceNode inspectDeviceNode(const std::string& path);

// access() for reading and writing by this process's real user, with the
// node's owner and group by name and, on refusal, whether the group could
// open it and whether the user joined it after logging in.
NodeAccess checkNodeAccess(const DeviceNode& node);

// What would let this user open a node that access refused, in words ("add
// your user to the dialout group and log in again", "log out and in again",
// or how to give a node only its owner may open to a group first); empty
// when access was allowed or was refused for another reason than EACCES.
// path is the device as the operator named it.
std::string adviseAccess(const NodeAccess& access, const std::string& path);

// The kernel driver of a character device: the name of sysfs' device/driver
// link under root/sys/dev/char/<major>:<minor>, past the serial core's own
// "port" and "ctrl" drivers to the hardware's ("ftdi_sio", "cdc_acm",
// "serial8250"). Empty when there is none, as for a pseudo-terminal.
std::string findTtyDriver(dev_t rdev, const std::filesystem::path& root = "/");

// The index of a pseudo-terminal's slave (/dev/pts/<index>) from its device
// number, or nothing for any other device.
std::optional<int> ptyIndex(dev_t rdev);

// The processes under proc whose open files include the device (compared by
// device number, so any name or link for it counts), except `self`. A
// process that also holds the master of the same pseudo-terminal is counted
// as its other end instead.
DeviceOpeners findDeviceOpeners(const DeviceNode& node, const std::filesystem::path& proc,
                                int self);

// The name of Qt's lock file for a device path: "/dev/" is dropped and
// every other '/' becomes '_' ("LCK..ttyUSB0", "LCK..pts_3").
std::string lockFileName(const std::string& devicePath);

// Where Qt Serial Port may keep lock files, in the order it tries them.
inline constexpr const char* kLockDirectories[] = {"/var/lock", "/etc/locks", "/var/spool/locks",
                                                   "/var/spool/uucp", "/tmp"};

// The directory of devicePath's lock file, as Qt Serial Port picks it: the
// first of kLockDirectories (under root) that this process may read and that
// holds the file already or may be written. Empty when there is none.
std::filesystem::path findLockDirectory(const std::string& devicePath,
                                        const std::filesystem::path& root = "/");

// The lock file for devicePath in lockDir, and whether the process it names
// still runs (looked up under proc). None for an empty lockDir.
DeviceLock readDeviceLock(const std::string& devicePath, const std::filesystem::path& lockDir,
                          const std::filesystem::path& proc);

// The running processes under proc whose name is one of names, by PID.
std::vector<ProcessRef> findProcessesNamed(const std::vector<std::string>& names,
                                           const std::filesystem::path& proc);

}  // namespace oxu
