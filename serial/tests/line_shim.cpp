// A USB-serial adapter's driver played on a pseudo-terminal, for tests: a
// shared library loaded with LD_PRELOAD into the program under test (or the
// test itself). A pty has no modem-control lines and no serial flags; this
// shim answers those calls on the port's descriptor from a fake line, passes
// every other call through, and appends each call on the port to a log, so a
// test can check what the program asked of the line and in which order.
// Built with the tests, never installed.
//
// Read at each open of the port, from the environment:
//   OXU_SHIM_DEVICE   the port's device path; other files are left alone
//   OXU_SHIM_LOG      the file the calls are appended to, one line each
//   OXU_SHIM_LINE     "adapter" (the default): modem lines and serial flags
//                     come from the fake line, which starts with DTR and RTS
//                     raised as the system raises them at open;
//                     "bare": those calls reach the pty, which refuses them
//   OXU_SHIM_FLAGS    serial flags the fake driver starts with (default 0)
//   OXU_SHIM_REFUSE_SET  errno that TIOCSSERIAL fails with (e.g. 1, EPERM)
//   OXU_SHIM_OUTQ     bytes the driver holds for sending: what TIOCOUTQ
//                     answers instead of the pty's count, until a TCOFLUSH
//                     discards them or OXU_SHIM_OUTQ_MS passes
//   OXU_SHIM_OUTQ_MS  the held bytes leave this many ms after the first
//                     TIOCOUTQ (default: never, as an adapter that stopped
//                     sending)
//   OXU_SHIM_DRAIN_BLOCK  seconds each tcdrain waits before it returns, as
//                     on an adapter that stopped sending
//
// Log lines: "open PATH", "ioctl NAME[ ARG] = RESULT", "tcsetattr BAUD = R",
// "tcflush QUEUE = R", "tcdrain = R", "write N lines=DTR|RTS", "close
// lines=...", where RESULT is 0, or -1 and the errno's name.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct FakeLine {
    int fd = -1;  // the port's descriptor while open
    bool bare = false;
    int modemLines = 0;
    serial_struct serial{};
    int refuseSetErrno = 0;
    long outq = -1;    // -1: ask the pty
    long outqMs = -1;  // -1: held until flushed
    bool outqAsked = false;
    timespec outqFirstAsk{};
    long drainBlockSeconds = 0;
    std::string logPath;
};

std::mutex g_mutex;  // guards g_line and the log
FakeLine g_line;
std::atomic<int> g_portFd{-1};  // read without the lock on every call

// The shim's lock, held with every signal blocked. The programs put the
// line's flags back from their signal handlers through these same
// functions: a handler run while this thread held the lock would wait on
// itself for ever.
class ShimLock {
public:
    ShimLock() {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &m_saved);
        g_mutex.lock();
    }
    ~ShimLock() {
        g_mutex.unlock();
        ::pthread_sigmask(SIG_SETMASK, &m_saved, nullptr);
    }
    ShimLock(const ShimLock&) = delete;
    ShimLock& operator=(const ShimLock&) = delete;

private:
    sigset_t m_saved{};
};

template <class Function>
Function realFunction(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

long readNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 0) : fallback;
}

// Appends one line to the log with raw system calls: never through the
// interposed functions, never with a lock of stdio.
void writeLog(const std::string& line) {
    if (g_line.logPath.empty())
        return;
    const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, g_line.logPath.c_str(),
                                              O_WRONLY | O_CREAT | O_APPEND, 0644));
    if (fd < 0)
        return;
    const std::string text = line + "\n";
    [[maybe_unused]] const long written = ::syscall(SYS_write, fd, text.data(), text.size());
    ::syscall(SYS_close, fd);
}

std::string resultText(int result, int error) {
    if (result >= 0)
        return std::to_string(result);
    const char* name = strerrorname_np(error);
    return "-1 " + std::string(name != nullptr ? name : std::to_string(error).c_str());
}

std::string linesText(int lines) {
    std::string text;
    if (lines & TIOCM_DTR)
        text += "DTR";
    if (lines & TIOCM_RTS)
        text += text.empty() ? "RTS" : "|RTS";
    return text.empty() ? "none" : text;
}

std::string flagsText(int flags) {
    char text[32];
    std::snprintf(text, sizeof text, "flags=0x%x", static_cast<unsigned>(flags));
    return text;
}

// The fake line's modem lines; a bare pty has none to show.
std::string modemLinesText() {
    return g_line.bare ? "unknown" : linesText(g_line.modemLines);
}

bool isPort(int fd) {
    return fd >= 0 && fd == g_portFd.load();
}

void noteOpen(const char* path, int fd) {
    const char* device = std::getenv("OXU_SHIM_DEVICE");
    if (fd < 0 || path == nullptr || device == nullptr)
        return;
    char wanted[PATH_MAX];
    char opened[PATH_MAX];
    if (::realpath(device, wanted) == nullptr || ::realpath(path, opened) == nullptr ||
        std::strcmp(wanted, opened) != 0)
        return;
    ShimLock lock;
    g_line = FakeLine{};
    g_line.fd = fd;
    g_portFd = fd;
    const char* mode = std::getenv("OXU_SHIM_LINE");
    g_line.bare = mode != nullptr && std::strcmp(mode, "bare") == 0;
    g_line.modemLines = TIOCM_DTR | TIOCM_RTS;
    g_line.serial.type = PORT_16550A;
    g_line.serial.baud_base = 3'000'000;
    g_line.serial.flags = static_cast<int>(readNumber("OXU_SHIM_FLAGS", 0));
    g_line.refuseSetErrno = static_cast<int>(readNumber("OXU_SHIM_REFUSE_SET", 0));
    g_line.outq = readNumber("OXU_SHIM_OUTQ", -1);
    g_line.outqMs = readNumber("OXU_SHIM_OUTQ_MS", -1);
    g_line.drainBlockSeconds = readNumber("OXU_SHIM_DRAIN_BLOCK", 0);
    const char* log = std::getenv("OXU_SHIM_LOG");
    g_line.logPath = log != nullptr ? log : "";
    writeLog(std::string("open ") + path);
}

// TCGETS2, spelt out: its header clashes with <termios.h>.
constexpr unsigned long kTcgets2 = 0x802c542a;

const char* requestName(unsigned long request) {
    switch (request) {
        case TIOCEXCL:
            return "TIOCEXCL";
        case TIOCNXCL:
            return "TIOCNXCL";
        case TIOCMGET:
            return "TIOCMGET";
        case TIOCMSET:
            return "TIOCMSET";
        case TIOCMBIS:
            return "TIOCMBIS";
        case TIOCMBIC:
            return "TIOCMBIC";
        case TIOCGSERIAL:
            return "TIOCGSERIAL";
        case TIOCSSERIAL:
            return "TIOCSSERIAL";
        case TIOCOUTQ:
            return "TIOCOUTQ";
        case TCFLSH:
            return "TCFLSH";
        case TCSBRK:
            return "TCSBRK";
        case kTcgets2:
            return "TCGETS2";
        case FIONREAD:
            return "FIONREAD";
        default:
            return nullptr;
    }
}

// Answers a modem-line or serial-flag call from the fake line; false for a
// call the fake line does not take.
bool answerFromFakeLine(unsigned long request, void* arg, std::string& detail) {
    switch (request) {
        case TIOCMGET:
            *static_cast<int*>(arg) = g_line.modemLines;
            detail = linesText(g_line.modemLines);
            return true;
        case TIOCMSET:
            g_line.modemLines = *static_cast<int*>(arg) & (TIOCM_DTR | TIOCM_RTS);
            detail = linesText(g_line.modemLines);
            return true;
        case TIOCMBIS:
            detail = linesText(*static_cast<int*>(arg));
            g_line.modemLines |= *static_cast<int*>(arg) & (TIOCM_DTR | TIOCM_RTS);
            return true;
        case TIOCMBIC:
            detail = linesText(*static_cast<int*>(arg));
            g_line.modemLines &= ~*static_cast<int*>(arg);
            return true;
        case TIOCGSERIAL:
            std::memcpy(arg, &g_line.serial, sizeof g_line.serial);
            detail = flagsText(g_line.serial.flags);
            return true;
        case TIOCSSERIAL: {
            serial_struct wanted;
            std::memcpy(&wanted, arg, sizeof wanted);
            detail = flagsText(wanted.flags);
            if (g_line.refuseSetErrno != 0) {
                errno = g_line.refuseSetErrno;
                return true;
            }
            g_line.serial = wanted;
            return true;
        }
        default:
            return false;
    }
}

// What the fake driver holds for sending now: the held bytes leave
// OXU_SHIM_OUTQ_MS after they were first asked about, if ever.
long heldOutput() {
    if (g_line.outq <= 0 || g_line.outqMs < 0)
        return g_line.outq;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (!g_line.outqAsked) {
        g_line.outqAsked = true;
        g_line.outqFirstAsk = now;
    }
    const long elapsedMs = (now.tv_sec - g_line.outqFirstAsk.tv_sec) * 1000 +
                           (now.tv_nsec - g_line.outqFirstAsk.tv_nsec) / 1'000'000;
    if (elapsedMs >= g_line.outqMs)
        g_line.outq = 0;
    return g_line.outq;
}

using IoctlFunction = int (*)(int, unsigned long, void*);

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    static const auto real = realFunction<int (*)(const char*, int, ...)>("open");
    const int fd = real(path, flags, mode);
    noteOpen(path, fd);
    return fd;
}

int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    static const auto real = realFunction<int (*)(const char*, int, ...)>("open64");
    const int fd = real(path, flags, mode);
    noteOpen(path, fd);
    return fd;
}

int close(int fd) {
    static const auto real = realFunction<int (*)(int)>("close");
    if (isPort(fd)) {
        ShimLock lock;
        if (isPort(fd)) {
            writeLog("close lines=" + modemLinesText() + " " + flagsText(g_line.serial.flags));
            g_line.fd = -1;
            g_portFd = -1;
        }
    }
    return real(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    static const auto real = realFunction<IoctlFunction>("ioctl");
    // Qt asks FIONREAD on every read: passed through without a line.
    if (!isPort(fd) || request == FIONREAD)
        return real(fd, request, arg);

    ShimLock lock;
    std::string detail;
    int result = 0;
    int error = 0;
    errno = 0;
    if (g_line.bare) {
        // What was asked, as the fake line would have logged it.
        if (request == TIOCMBIC || request == TIOCMBIS || request == TIOCMSET)
            detail = linesText(*static_cast<int*>(arg));
        else if (request == TIOCSSERIAL)
            detail = flagsText(static_cast<serial_struct*>(arg)->flags);
    }
    if (!g_line.bare && answerFromFakeLine(request, arg, detail)) {
        error = errno;
        result = error == 0 ? 0 : -1;
    } else if (request == TIOCOUTQ && g_line.outq >= 0) {
        const long held = heldOutput();
        *static_cast<int*>(arg) = static_cast<int>(held);
        detail = std::to_string(held);
    } else {
        result = real(fd, request, arg);
        error = errno;
        if (result == 0 && request == TIOCOUTQ)
            detail = std::to_string(*static_cast<int*>(arg));
        if (result == 0 && request == TIOCGSERIAL)
            detail = flagsText(static_cast<serial_struct*>(arg)->flags);
    }
    std::string line = "ioctl ";
    if (const char* name = requestName(request)) {
        line += name;
    } else {
        char hex[24];
        std::snprintf(hex, sizeof hex, "0x%lx", request);
        line += hex;
    }
    if (!detail.empty())
        line += " " + detail;
    writeLog(line + " = " + resultText(result, error));
    errno = error;
    return result;
}

int tcsetattr(int fd, int actions, const struct termios* settings) {
    static const auto real = realFunction<int (*)(int, int, const struct termios*)>("tcsetattr");
    const int result = real(fd, actions, settings);
    const int error = errno;
    if (isPort(fd)) {
        ShimLock lock;
        static const struct {
            speed_t code;
            const char* baud;
        } kSpeeds[] = {{B0, "0"},         {B9600, "9600"},   {B19200, "19200"},
                       {B38400, "38400"}, {B57600, "57600"}, {B115200, "115200"}};
        std::string baud = "other";
        for (const auto& speed : kSpeeds) {
            if (cfgetospeed(settings) == speed.code)
                baud = speed.baud;
        }
        writeLog("tcsetattr " + baud + " = " + resultText(result, error));
    }
    errno = error;
    return result;
}

int tcflush(int fd, int queue) {
    static const auto real = realFunction<int (*)(int, int)>("tcflush");
    const int result = real(fd, queue);
    const int error = errno;
    if (isPort(fd)) {
        ShimLock lock;
        const char* name = queue == TCIFLUSH   ? "TCIFLUSH"
                           : queue == TCOFLUSH ? "TCOFLUSH"
                                               : "TCIOFLUSH";
        if (queue != TCIFLUSH && g_line.outq > 0)
            g_line.outq = 0;  // what the driver held is discarded
        writeLog(std::string("tcflush ") + name + " = " + resultText(result, error));
    }
    errno = error;
    return result;
}

int tcdrain(int fd) {
    static const auto real = realFunction<int (*)(int)>("tcdrain");
    long block = 0;
    if (isPort(fd)) {
        ShimLock lock;
        block = g_line.drainBlockSeconds;
    }
    if (block > 0) {
        // The adapter stopped sending: the driver waits, with no time limit
        // of its own. Without the lock, so that other calls go on meanwhile.
        const timespec pause{block, 0};
        ::nanosleep(&pause, nullptr);
    }
    const int result = real(fd);
    const int error = errno;
    if (isPort(fd)) {
        ShimLock lock;
        writeLog("tcdrain = " + resultText(result, error));
    }
    errno = error;
    return result;
}

ssize_t write(int fd, const void* data, size_t size) {
    static const auto real = realFunction<ssize_t (*)(int, const void*, size_t)>("write");
    const ssize_t result = real(fd, data, size);
    const int error = errno;
    if (isPort(fd)) {
        ShimLock lock;
        if (isPort(fd))
            writeLog("write " + std::to_string(size) + " lines=" + modemLinesText() + " = " +
                     resultText(static_cast<int>(result), error));
    }
    errno = error;
    return result;
}

}  // extern "C"
