// What the system tells of a device, read from fake /proc, sysfs and lock
// trees built in a temporary directory (the same layout and formats as
// Linux's), and from the real /proc with a second process holding a real
// pseudo-terminal.

#include "serial/device_facts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <cerrno>
#include <fstream>

#include "tests/kit/qt_pty.h"

namespace oxu {

void PrintTo(const ProcessRef& process, std::ostream* out) {
    *out << process.pid << " (" << process.name << ")";
}

namespace {

namespace fs = std::filesystem;
using testkit::Pty;

constexpr int kWaitMs = 10'000;

class FakeTree : public testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("oxu-facts-" + std::to_string(::getpid()) + "-" +
                  testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root);
    }
    void TearDown() override { fs::remove_all(m_root); }

    void writeFile(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    void link(const fs::path& path, const fs::path& target) {
        fs::create_directories(path.parent_path());
        fs::create_symlink(target, path);
    }
    // A process under the fake /proc with its name and open files (fd -> what
    // it is open on), and for a pty master its tty index.
    void addProcess(int pid, const std::string& name,
                    const std::vector<std::pair<int, std::string>>& files, int masterOf = -1) {
        const fs::path process = m_root / "proc" / std::to_string(pid);
        writeFile(process / "comm", name + "\n");
        fs::create_directories(process / "fd");
        for (const auto& [fd, target] : files) {
            link(process / "fd" / std::to_string(fd), target);
            writeFile(process / "fdinfo" / std::to_string(fd),
                      "pos:\t0\nflags:\t02\nmnt_id:\t24\n" +
                          (target == "/dev/ptmx" && masterOf >= 0
                               ? "tty-index:\t" + std::to_string(masterOf) + "\n"
                               : std::string()));
        }
    }

    fs::path m_root;
};

TEST_F(FakeTree, OpenersAreFoundByDeviceNumberAndAPtysOtherEndIsSetApart) {
    Pty pty;
    const DeviceNode slave = inspectDeviceNode(pty.slavePath());
    const int index = *ptyIndex(slave.rdev);
    link(m_root / "by-id-link", pty.slavePath());  // another name for the same device
    addProcess(100, "cat", {{0, "/dev/null"}, {3, pty.slavePath()}});
    addProcess(200, "oxu-device-sim", {{3, "/dev/ptmx"}, {4, pty.slavePath()}}, index);
    addProcess(300, "screen", {{3, "/dev/ptmx"}, {4, "/dev/null"}}, index + 1000);
    addProcess(400, "myself", {{5, pty.slavePath()}});
    addProcess(600, "minicom", {{5, (m_root / "by-id-link").string()}});
    addProcess(700, "gone-meanwhile", {});
    fs::remove_all(m_root / "proc/700/fd");
    writeFile(m_root / "proc/self/comm", "not a process\n");

    const struct {
        const char* name;
        DeviceNode node;
        std::vector<ProcessRef> users;
        std::vector<ProcessRef> otherEnds;
    } cases[] = {
        {"pseudo-terminal", slave, {{100, "cat"}, {600, "minicom"}}, {{200, "oxu-device-sim"}}},
        {"other device", inspectDeviceNode("/dev/null"), {{100, "cat"}, {300, "screen"}}, {}},
        {"no device", inspectDeviceNode((m_root / "proc/100/comm").string()), {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DeviceOpeners openers = findDeviceOpeners(c.node, m_root / "proc", 400);
        EXPECT_EQ(openers.users, c.users);
        EXPECT_EQ(openers.otherEnds, c.otherEnds);
        EXPECT_EQ(openers.unreadable, 0);
    }
}

TEST_F(FakeTree, LockFilesNameTheirProgramWhileItRuns) {
    writeFile(m_root / "proc/4019/comm", "oxu-update\n");
    const struct {
        const char* name;
        std::optional<std::string> content;  // nothing: no lock file
        DeviceLock expected;
    } cases[] = {
        {"Qt's", "4019\noxu-update\nvm\n", {"", true, 4019, true, "oxu-update"}},
        {"lockdev's", "      4019\n", {"", true, 4019, true, "oxu-update"}},
        {"stale", "31999\nold\n", {"", true, 31999, false, ""}},
        {"unreadable", "holder\n", {"", true, 0, false, ""}},
        {"negative", "-5\n", {"", true, 0, false, ""}},
        {"none", std::nullopt, {"", false, 0, false, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_root / "lock");
        fs::create_directories(m_root / "lock");
        if (c.content)
            writeFile(m_root / "lock/LCK..ttyUSB0", *c.content);
        const DeviceLock lock = readDeviceLock("/dev/ttyUSB0", m_root / "lock", m_root / "proc");
        EXPECT_EQ(lock.path, (m_root / "lock/LCK..ttyUSB0").string());
        EXPECT_EQ(lock.present, c.expected.present);
        EXPECT_EQ(lock.pid, c.expected.pid);
        EXPECT_EQ(lock.running, c.expected.running);
        EXPECT_EQ(lock.name, c.expected.name);
    }
}

TEST_F(FakeTree, LockDirectoryIsTheFirstThatHoldsTheFileOrMayBeWritten) {
    const struct {
        const char* name;
        std::vector<const char*> directories;  // made under the root
        const char* lockIn;                    // holds LCK..ttyUSB0; null for none
        const char* expected;
    } cases[] = {
        {"the first of all", {"var/lock", "etc/locks", "tmp"}, nullptr, "var/lock"},
        {"/var/lock missing", {"etc/locks", "var/spool/uucp", "tmp"}, nullptr, "etc/locks"},
        {"only /tmp", {"tmp"}, nullptr, "tmp"},
        {"a writable one before a lock further on",
         {"var/spool/locks", "tmp"},
         "tmp",
         "var/spool/locks"},
        {"none at all", {}, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        for (const char* directory : c.directories)
            fs::create_directories(m_root / directory);
        if (c.lockIn != nullptr)
            writeFile(m_root / c.lockIn / "LCK..ttyUSB0", "4242\n");
        const fs::path expected = *c.expected ? m_root / c.expected : fs::path();
        EXPECT_EQ(findLockDirectory("/dev/ttyUSB0", m_root), expected);
    }
    EXPECT_FALSE(readDeviceLock("/dev/ttyUSB0", fs::path(), m_root / "proc").present);
}

TEST(LockFileName, FollowsQtsNamingOfThePortsPath) {
    EXPECT_EQ(lockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(lockFileName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(lockFileName("/tmp/fake/tty"), "LCK.._tmp_fake_tty");
}

TEST_F(FakeTree, DriverIsTheHardwaresPastTheSerialCore) {
    const fs::path sys = m_root / "sys";
    for (const char* driver : {"bus/usb-serial/drivers/ftdi_sio", "bus/serial-base/drivers/port",
                               "bus/serial-base/drivers/ctrl", "bus/pnp/drivers/serial"})
        fs::create_directories(sys / driver);
    // A USB adapter: the tty's device is the adapter's port, bound to its driver.
    const fs::path usb = sys / "devices/usb1/1-1/1-1:1.0/ttyUSB0";
    link(usb / "driver", sys / "bus/usb-serial/drivers/ftdi_sio");
    link(usb / "tty/ttyUSB0/device", usb);
    link(sys / "dev/char/188:0", usb / "tty/ttyUSB0");
    // A UART behind the serial core (Linux 6.5 on): port and ctrl, then the hardware.
    const fs::path uart = sys / "devices/pnp0/00:00";
    link(uart / "driver", sys / "bus/pnp/drivers/serial");
    link(uart / "00:00:0/driver", sys / "bus/serial-base/drivers/ctrl");
    link(uart / "00:00:0/00:00:0.0/driver", sys / "bus/serial-base/drivers/port");
    link(uart / "00:00:0/00:00:0.0/tty/ttyS0/device", uart / "00:00:0/00:00:0.0");
    link(sys / "dev/char/4:64", uart / "00:00:0/00:00:0.0/tty/ttyS0");
    // A virtual console: a tty with no device behind it.
    fs::create_directories(sys / "devices/virtual/tty/tty1");
    link(sys / "dev/char/4:1", sys / "devices/virtual/tty/tty1");

    EXPECT_EQ(findTtyDriver(::makedev(188, 0), m_root), "ftdi_sio");
    EXPECT_EQ(findTtyDriver(::makedev(4, 64), m_root), "serial");
    EXPECT_EQ(findTtyDriver(::makedev(4, 1), m_root), "");
    EXPECT_EQ(findTtyDriver(::makedev(136, 5), m_root), "");  // a pty: nothing in sysfs
}

TEST(PtyIndex, ComesFromTheSlavesDeviceNumber) {
    EXPECT_EQ(ptyIndex(::makedev(136, 5)), 5);
    EXPECT_EQ(ptyIndex(::makedev(136, 300)), 300);
    EXPECT_EQ(ptyIndex(::makedev(137, 2)), 258);
    EXPECT_EQ(ptyIndex(::makedev(188, 0)), std::nullopt);  // ttyUSB0
    EXPECT_EQ(ptyIndex(::makedev(5, 2)), std::nullopt);    // the master multiplexer
}

TEST_F(FakeTree, ServicesAreFoundByName) {
    writeFile(m_root / "proc/812/comm", "brltty\n");
    writeFile(m_root / "proc/700/comm", "ModemManager\n");
    writeFile(m_root / "proc/70/comm", "bash\n");
    writeFile(m_root / "proc/self/comm", "ModemManager\n");
    EXPECT_EQ(findProcessesNamed({"ModemManager", "brltty"}, m_root / "proc"),
              (std::vector<ProcessRef>{{700, "ModemManager"}, {812, "brltty"}}));
    EXPECT_TRUE(findProcessesNamed({"ModemManager"}, m_root / "nothing").empty());
}

TEST_F(FakeTree, NodesAreSeenThroughLinks) {
    Pty pty;
    link(m_root / "link", pty.slavePath());
    writeFile(m_root / "plain", "");

    const DeviceNode linked = inspectDeviceNode((m_root / "link").string());
    EXPECT_TRUE(linked.exists());
    EXPECT_TRUE(linked.isCharacterDevice);
    EXPECT_EQ(linked.target, pty.slavePath());
    EXPECT_EQ(linked.rdev, inspectDeviceNode(pty.slavePath()).rdev);

    const DeviceNode plain = inspectDeviceNode((m_root / "plain").string());
    EXPECT_TRUE(plain.exists());
    EXPECT_FALSE(plain.isCharacterDevice);

    const DeviceNode missing = inspectDeviceNode((m_root / "missing").string());
    EXPECT_FALSE(missing.exists());
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_FALSE(checkNodeAccess(missing).allowed);
}

TEST_F(FakeTree, AccessNamesTheNodesOwnerAndGroup) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to root:dialout";
    const fs::path file = m_root / "node";
    writeFile(file, "");
    ASSERT_EQ(::chown(file.c_str(), 0, 20), 0);  // root:dialout, as udev sets a serial port
    const struct {
        mode_t mode;
        bool groupMayUse;
    } cases[] = {{0660, true}, {0640, false}, {0600, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
        const NodeAccess access = checkNodeAccess(inspectDeviceNode(file.string()));
        EXPECT_TRUE(access.allowed);  // root
        EXPECT_EQ(access.userName, "root");
        EXPECT_EQ(access.ownerName, "root");
        EXPECT_EQ(access.groupName, "dialout");
        EXPECT_EQ(access.groupMayUse, c.groupMayUse);
    }
}

TEST(DeviceFacts, TheRealProcNamesAProgramHoldingAPort) {
    Pty pty;  // this process holds the master and the slave: it is the other end
    QProcess holder;
    holder.start(QCoreApplication::applicationFilePath(),
                 {"--hold-port", QString::fromStdString(pty.slavePath())});
    ASSERT_TRUE(holder.waitForStarted(kWaitMs));
    ASSERT_TRUE(holder.waitForReadyRead(kWaitMs));
    ASSERT_EQ(holder.readLine().trimmed().toStdString(), "held");
    const int pid = static_cast<int>(holder.processId());
    const std::string name = "serial_tests";  // what the kernel keeps of this program's name

    const DeviceNode node = inspectDeviceNode(pty.slavePath());
    const DeviceOpeners openers = findDeviceOpeners(node, "/proc", ::getpid());
    EXPECT_EQ(openers.users, (std::vector<ProcessRef>{{pid, name}}));
    EXPECT_TRUE(openers.otherEnds.empty());  // this process is the one excepted
    // Seen from the holder, this process holds the pty's master.
    EXPECT_EQ(findDeviceOpeners(node, "/proc", pid).otherEnds,
              (std::vector<ProcessRef>{{::getpid(), name}}));

    // Where Qt put it, as the port check looks for it.
    const fs::path lockDirectory = findLockDirectory(pty.slavePath());
    const DeviceLock lock = readDeviceLock(pty.slavePath(), lockDirectory, "/proc");
    EXPECT_TRUE(lock.present) << lock.path;
    EXPECT_EQ(lock.pid, pid);
    EXPECT_TRUE(lock.running);
    EXPECT_EQ(lock.name, name);

    holder.closeWriteChannel();
    EXPECT_TRUE(holder.waitForFinished(kWaitMs));
    EXPECT_TRUE(findDeviceOpeners(node, "/proc", ::getpid()).users.empty());
    EXPECT_FALSE(readDeviceLock(pty.slavePath(), lockDirectory, "/proc").present);
}

}  // namespace
}  // namespace oxu
