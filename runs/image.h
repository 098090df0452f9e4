#pragma once

// The image of one run, read once: every attempt of the run sends these
// bytes, whatever happens to the file afterwards, and every record names
// them by size and SHA-256.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>

#include "protocol/bytes.h"

namespace oxu::runs {

// The image could not be read, or is not one. what() names the file and
// the reason, ready for "the update could not start: ...".
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "ab12...": the SHA-256 of bytes in lowercase hex.
std::string sha256Hex(ByteView bytes);

class ImageSnapshot {
public:
    // Checks the file (a regular file of at most 65,280 bytes that opens for
    // reading), reads it whole and hashes it. Throws ImageError.
    static ImageSnapshot take(const std::string& path);

    const std::string& path() const { return m_path; }                  // as given
    const std::string& absolutePath() const { return m_absolutePath; }  // without . and ..
    const Bytes& bytes() const { return m_bytes; }
    const std::string& sha256() const { return m_sha256; }
    std::uint64_t size() const { return m_bytes.size(); }
    int pages() const;

    // Whether the file at path() now holds other bytes than the snapshot
    // (or is gone). Cheap while the file's identity, size and times are
    // unchanged; otherwise reads it again and compares the hashes.
    bool changedOnDisk() const;

private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
        bool operator==(const Stamp& other) const;
    };
    static bool stampOf(const std::string& path, Stamp* stamp);

    std::string m_path;
    std::string m_absolutePath;
    Bytes m_bytes;
    std::string m_sha256;
    mutable Stamp m_stamp;
    mutable bool m_changed = false;  // once seen changed, it stays so
};

}  // namespace oxu::runs
