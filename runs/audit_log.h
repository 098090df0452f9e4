#pragma once

// The audit log: a file of records, one line each, only ever appended to.
// Several processes may append to the same file at once, and a process
// killed at any moment leaves whole records behind, never half of one: each
// record goes out in one write() on a descriptor opened with O_APPEND (the
// kernel places and writes it as one piece). A log that an earlier writer
// left ending in part of a line (a full disk, a power cut) is repaired first:
// the next record starts on a new line.
//
// write() puts a record in the page cache, where it survives the process;
// fsync() waits for the disk, which may take long. So records are written on
// the caller's thread and made durable on a thread of their own: a slow disk
// never holds up the ports that share the caller's loop.

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runs/records.h"

namespace oxu::runs {

// The log could not be opened or a record could not be written whole.
// what() names the file and gives the system's reason.
class AuditLogError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AuditLog final : public RecordSink {
public:
    // Opens path for appending, creating it (mode 0666 less the umask) if
    // need be. Throws AuditLogError when it cannot be opened for writing or
    // is not a regular file.
    explicit AuditLog(const std::string& path);
    // Waits for the records written to be made durable.
    ~AuditLog() override;
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Appends one record: record must end with '\n' and hold no other. Ends
    // a partial last line first. One write() of the whole line; durable soon
    // after (see finish()). Throws AuditLogError when the write was refused
    // or short; a short record is ended with a newline so that it spoils no
    // other.
    void append(std::string_view record);

    // Attempt-start and attempt records; summaries are not kept.
    std::optional<std::string> write(RecordKind kind, const QJsonObject& record) override;
    // Waits until every record appended so far is on disk; returns what
    // could not be made durable since the last call.
    std::vector<std::string> finish() override;

    const std::string& path() const { return m_path; }

private:
    void syncLoop();

    std::string m_path;
    int m_fd = -1;
    bool m_readable = false;  // opened for reading too: its end can be checked

    // The thread that calls fsync(), and what it shares with the writer.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_synced;
    unsigned long m_written = 0;  // records appended
    unsigned long m_durable = 0;  // of those, covered by a finished fsync()
    bool m_stopping = false;
    std::vector<std::string> m_failures;
    std::thread m_syncer;
};

}  // namespace oxu::runs
