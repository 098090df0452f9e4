#include "cli/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oxu::cli {
namespace {

std::string describeFailure(const std::string& path, const std::string& what, int error) {
    return "cannot " + what + " the audit log \"" + path + "\": " + std::strerror(error);
}

}  // namespace

AuditLog::AuditLog(const std::string& path) : m_path(path) {
    // O_NONBLOCK: a FIFO without a reader fails at once instead of hanging.
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                  0666);
    if (m_fd < 0)
        throw AuditLogError(describeFailure(path, "open", errno));
    struct stat info {};
    const bool statted = ::fstat(m_fd, &info) == 0;
    const int error = errno;
    if (statted && S_ISREG(info.st_mode))
        return;
    ::close(m_fd);
    m_fd = -1;
    if (!statted)
        throw AuditLogError(describeFailure(path, "open", error));
    throw AuditLogError("cannot use \"" + path + "\" as the audit log: it is not a regular file");
}

AuditLog::~AuditLog() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void AuditLog::append(std::string_view record) {
    ssize_t wrote = -1;
    do {
        errno = 0;
        wrote = ::write(m_fd, record.data(), record.size());
    } while (wrote < 0 && errno == EINTR);
    if (wrote < 0)
        throw AuditLogError(describeFailure(m_path, "write to", errno));
    if (static_cast<std::size_t>(wrote) != record.size()) {
        const int error = errno;
        // End the piece that went out, so that the records after it stay whole.
        if (wrote > 0) {
            [[maybe_unused]] const ssize_t ended = ::write(m_fd, "\n", 1);
        }
        throw AuditLogError("cannot write to the audit log \"" + m_path + "\": only " +
                            std::to_string(wrote) + " of " + std::to_string(record.size()) +
                            " bytes of a record went out (" +
                            (error != 0 ? std::strerror(error) : "the disk may be full") + ")");
    }
    if (::fsync(m_fd) != 0)
        throw AuditLogError(describeFailure(m_path, "save", errno));
}

}  // namespace oxu::cli
