#include "runs/audit_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace oxu::runs {
namespace {

std::string describeFailure(const std::string& path, const std::string& what, int error) {
    return "cannot " + what + " the audit log \"" + path + "\": " + std::strerror(error);
}

// Whether the file behind fd is empty or ends with a newline.
bool endsWithNewline(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size == 0)
        return true;
    char last = '\n';
    return ::pread(fd, &last, 1, info.st_size - 1) != 1 || last == '\n';
}

// Holds the advisory lock on the log while a writer looks at its end and
// appends, so that two writers' repairs and records never interleave.
class FileLock {
public:
    explicit FileLock(int fd) : m_fd(fd) {
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FileLock() { ::flock(m_fd, LOCK_UN); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd;
};

}  // namespace

AuditLog::AuditLog(const std::string& path) : m_path(path) {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of hanging.
    // Read access lets the end of the log be checked; a log this user may
    // only write to is appended to without the check.
    constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    m_fd = ::open(path.c_str(), O_RDWR | kFlags, 0666);
    m_readable = m_fd >= 0;
    if (m_fd < 0 && errno == EACCES)
        m_fd = ::open(path.c_str(), O_WRONLY | kFlags, 0666);
    if (m_fd < 0)
        throw AuditLogError(describeFailure(path, "open", errno));
    struct stat info {};
    const bool statted = ::fstat(m_fd, &info) == 0;
    const int error = errno;
    if (statted && S_ISREG(info.st_mode)) {
        m_syncer = std::thread([this] { syncLoop(); });
        return;
    }
    ::close(m_fd);
    m_fd = -1;
    if (!statted)
        throw AuditLogError(describeFailure(path, "open", error));
    throw AuditLogError("cannot use \"" + path + "\" as the audit log: it is not a regular file");
}

AuditLog::~AuditLog() {
    if (m_fd < 0)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_syncer.join();
    ::close(m_fd);
}

void AuditLog::append(std::string_view record) {
    std::string line;
    ssize_t wrote = -1;
    int error = 0;
    {
        FileLock lock(m_fd);
        const bool whole = !m_readable || endsWithNewline(m_fd);
        line = whole ? std::string(record) : "\n" + std::string(record);
        do {
            errno = 0;
            wrote = ::write(m_fd, line.data(), line.size());
        } while (wrote < 0 && errno == EINTR);
        error = errno;
        // End the piece that went out, so that the records after it stay whole.
        if (wrote > 0 && static_cast<std::size_t>(wrote) != line.size()) {
            [[maybe_unused]] const ssize_t ended = ::write(m_fd, "\n", 1);
        }
    }
    if (wrote < 0)
        throw AuditLogError(describeFailure(m_path, "write to", error));
    if (static_cast<std::size_t>(wrote) != line.size())
        throw AuditLogError("cannot write to the audit log \"" + m_path + "\": only " +
                            std::to_string(wrote) + " of " + std::to_string(line.size()) +
                            " bytes of a record went out (" +
                            (error != 0 ? std::strerror(error) : "the disk may be full") + ")");
    {
        std::lock_guard lock(m_mutex);
        ++m_written;
    }
    m_wake.notify_one();
}

std::optional<std::string> AuditLog::write(RecordKind kind, const QJsonObject& record) {
    if (kind == RecordKind::Summary)
        return std::nullopt;
    try {
        append(toJsonLine(record));
    } catch (const AuditLogError& failure) {
        return failure.what();
    }
    return std::nullopt;
}

std::vector<std::string> AuditLog::finish() {
    std::unique_lock lock(m_mutex);
    const unsigned long target = m_written;
    m_synced.wait(lock, [&] { return m_durable >= target; });
    return std::exchange(m_failures, {});
}

void AuditLog::syncLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stopping || m_durable < m_written; });
        if (m_durable >= m_written && m_stopping)
            return;
        // One fsync() covers every record written before it began.
        const unsigned long covering = m_written;
        lock.unlock();
        const int result = ::fsync(m_fd);
        const int error = errno;
        lock.lock();
        if (result != 0)
            m_failures.push_back(describeFailure(m_path, "save", error));
        m_durable = covering;
        m_synced.notify_all();
    }
}

}  // namespace oxu::runs
