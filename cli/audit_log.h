#pragma once

// The audit log: a file of records, one line each, only ever appended to.
// Several processes may append to the same file at once, and a process
// killed at any moment leaves whole records behind, never half of one: each
// record goes out in one write() on a descriptor opened with O_APPEND (the
// kernel places and writes it as one piece), then fsync() puts it on disk.

#include <stdexcept>
#include <string>
#include <string_view>

namespace oxu::cli {

// The log could not be opened or a record could not be written whole.
// what() names the file and gives the system's reason.
class AuditLogError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AuditLog {
public:
    // Opens path for appending, creating it (mode 0666 less the umask) if
    // need be. Throws AuditLogError when it cannot be opened for writing or
    // is not a regular file.
    explicit AuditLog(const std::string& path);
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Appends one record: record must end with '\n' and hold no other. One
    // write() of the whole line, then fsync(). Throws AuditLogError when the
    // write was refused or short, or the record could not be made durable;
    // a short record is ended with a newline so that it spoils no other.
    void append(std::string_view record);

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    int m_fd = -1;
};

}  // namespace oxu::cli
