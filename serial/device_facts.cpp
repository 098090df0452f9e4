#include "serial/device_facts.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <system_error>

namespace oxu {
namespace {

namespace fs = std::filesystem;

// Unix98 pseudo-terminal slaves and the multiplexer their masters come from.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;

// How far above a tty's own device sysfs may hold its hardware's driver.
constexpr int kDriverSearchDepth = 4;

// The number a whole name spells, or nothing ("self", "1x").
std::optional<int> parseNumber(const std::string& text) {
    int value = 0;
    const char* last = text.data() + text.size();
    auto [end, error] = std::from_chars(text.data(), last, value);
    if (text.empty() || error != std::errc() || end != last)
        return std::nullopt;
    return value;
}

std::string readFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string processName(const fs::path& proc, int pid) {
    return readFirstLine(proc / std::to_string(pid) / "comm");
}

// The PIDs under proc, in order.
std::vector<int> listProcesses(const fs::path& proc) {
    std::vector<int> pids;
    std::error_code error;
    for (fs::directory_iterator entry(proc, error), end; !error && entry != end;
         entry.increment(error)) {
        if (auto pid = parseNumber(entry->path().filename().string()))
            pids.push_back(*pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::string userNameOf(uid_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

std::string groupNameOf(gid_t gid) {
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

// The groups this process runs with.
bool processHasGroup(gid_t gid) {
    if (::getgid() == gid || ::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// The groups the group database gives the user at the next login.
bool userListedInGroup(uid_t uid, gid_t gid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return false;
    int count = 32;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 4; ++attempt) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return std::find(groups.begin(), groups.end(), gid) != groups.end();
        }
    }
    return false;
}

// True when the driver link names one of the serial core's own drivers
// (bus/serial-base), which sit between a tty and its hardware's driver.
bool isSerialCoreDriver(const fs::path& driverLink) {
    std::error_code error;
    const fs::path driver = fs::canonical(driverLink, error);
    return !error && driver.parent_path().parent_path().filename() == "serial-base";
}

// The tty index in a master's fdinfo ("tty-index:\t3"), or nothing.
std::optional<int> masterIndex(const fs::path& fdinfo) {
    std::ifstream in(fdinfo);
    const std::string key = "tty-index:";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) != 0)
            continue;
        std::string value = line.substr(key.size());
        value.erase(0, value.find_first_not_of(" \t"));
        return parseNumber(value);
    }
    return std::nullopt;
}

}  // namespace

DeviceNode inspectDeviceNode(const std::string& path) {
    DeviceNode node;
    node.path = path;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        node.error = errno;
        return node;
    }
    std::error_code error;
    const fs::path target = fs::canonical(path, error);
    node.target = error ? path : target.string();
    node.isCharacterDevice = S_ISCHR(info.st_mode);
    node.rdev = node.isCharacterDevice ? info.st_rdev : 0;
    node.owner = info.st_uid;
    node.group = info.st_gid;
    node.mode = info.st_mode;
    return node;
}

NodeAccess checkNodeAccess(const DeviceNode& node) {
    NodeAccess access;
    access.userName = userNameOf(::getuid());
    if (!node.exists())
        return access;
    access.ownerName = userNameOf(node.owner);
    access.groupName = groupNameOf(node.group);
    access.groupMayUse = (node.mode & S_IRGRP) != 0 && (node.mode & S_IWGRP) != 0;
    access.allowed = ::access(node.path.c_str(), R_OK | W_OK) == 0;
    if (access.allowed)
        return access;
    access.error = errno;
    access.memberSinceLogin =
        !processHasGroup(node.group) && userListedInGroup(::getuid(), node.group);
    return access;
}

std::string adviseAccess(const NodeAccess& access, const std::string& path) {
    if (access.allowed || access.error != EACCES)
        return {};
    if (access.memberSinceLogin)
        return access.userName + " is in the " + access.groupName +
               " group, but this login session began before that: log out and in again";
    const std::string fix = "add your user to the dialout group and log in again";
    if (access.groupMayUse && access.groupName == "dialout")
        return fix;
    if (access.groupMayUse)
        return "the " + access.groupName + " group may use it: add your user to the " +
               access.groupName + " group and log in again";
    // Neither the user nor any group of users may open it: joining a group
    // alone does not help until the node is given to one.
    return "only its owner " + access.ownerName + " may open it, not the " + access.groupName +
           " group. Serial ports normally belong to the dialout group with mode crw-rw---- "
           "(udev sets that): give the device to that group (chgrp dialout " +
           path + "; chmod 660 " + path + "), then " + fix;
}

std::string findTtyDriver(dev_t rdev, const fs::path& root) {
    const std::string number = std::to_string(::major(rdev)) + ":" + std::to_string(::minor(rdev));
    std::error_code error;
    fs::path device = fs::canonical(root / "sys/dev/char" / number / "device", error);
    if (error)
        return {};
    std::string found;
    for (int depth = 0; depth < kDriverSearchDepth; ++depth) {
        const fs::path link = device / "driver";
        if (!fs::is_symlink(link, error))
            break;
        found = fs::read_symlink(link, error).filename().string();
        if (!isSerialCoreDriver(link))
            break;
        device = device.parent_path();
    }
    return found;
}

std::optional<int> ptyIndex(dev_t rdev) {
    const unsigned major = ::major(rdev);
    if (major < kFirstPtySlaveMajor || major > kLastPtySlaveMajor)
        return std::nullopt;
    return static_cast<int>((major - kFirstPtySlaveMajor) * 256 + ::minor(rdev));
}

DeviceOpeners findDeviceOpeners(const DeviceNode& node, const fs::path& proc, int self) {
    DeviceOpeners openers;
    if (!node.isCharacterDevice)
        return openers;
    const std::optional<int> pty = ptyIndex(node.rdev);
    for (const int pid : listProcesses(proc)) {
        if (pid == self)
            continue;
        const fs::path process = proc / std::to_string(pid);
        std::error_code error;
        fs::directory_iterator entry(process / "fd", error), end;
        if (error) {
            // A process that ended meanwhile is no opener; one of another
            // user keeps its files to itself.
            if (error == std::errc::permission_denied)
                ++openers.unreadable;
            continue;
        }
        bool holdsDevice = false;
        bool holdsMaster = false;
        for (; !error && entry != end; entry.increment(error)) {
            struct stat info {};
            if (::stat(entry->path().c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
                continue;
            if (info.st_rdev == node.rdev)
                holdsDevice = true;
            else if (pty && info.st_rdev == ::makedev(kPtmxMajor, kPtmxMinor))
                holdsMaster = holdsMaster ||
                              masterIndex(process / "fdinfo" / entry->path().filename()) == *pty;
        }
        if (holdsMaster)
            openers.otherEnds.push_back({pid, processName(proc, pid)});
        else if (holdsDevice)
            openers.users.push_back({pid, processName(proc, pid)});
    }
    return openers;
}

std::string lockFileName(const std::string& devicePath) {
    const std::string prefix = "/dev/";
    std::string name =
        devicePath.rfind(prefix, 0) == 0 ? devicePath.substr(prefix.size()) : devicePath;
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

fs::path findLockDirectory(const std::string& devicePath, const fs::path& root) {
    const std::string name = lockFileName(devicePath);
    for (const char* directory : kLockDirectories) {
        const fs::path path = root / fs::path(directory).relative_path();
        if (::access(path.c_str(), R_OK) != 0)
            continue;
        std::error_code error;
        if (fs::exists(path / name, error) || ::access(path.c_str(), W_OK) == 0)
            return path;
    }
    return {};
}

DeviceLock readDeviceLock(const std::string& devicePath, const fs::path& lockDir,
                          const fs::path& proc) {
    DeviceLock lock;
    if (lockDir.empty())
        return lock;  // no lock directory: nothing can be locked
    const fs::path path = lockDir / lockFileName(devicePath);
    lock.path = path.string();
    std::ifstream in(path);
    if (!in)
        return lock;
    lock.present = true;
    // Qt writes the PID alone on the first line; lockdev pads it with spaces.
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid > 0x3fffffff)
        return lock;
    lock.pid = static_cast<int>(pid);
    std::error_code error;
    lock.running = fs::exists(proc / std::to_string(lock.pid), error);
    if (lock.running)
        lock.name = processName(proc, lock.pid);
    return lock;
}

std::vector<ProcessRef> findProcessesNamed(const std::vector<std::string>& names,
                                           const fs::path& proc) {
    std::vector<ProcessRef> found;
    for (const int pid : listProcesses(proc)) {
        std::string name = processName(proc, pid);
        if (std::find(names.begin(), names.end(), name) != names.end())
            found.push_back({pid, std::move(name)});
    }
    return found;
}

}  // namespace oxu
