#pragma once

// Firmware files on disk for tests: a private folder removed at the end.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/bytes.h"

namespace oxu::kit {

// Bytes that differ from page to page, so a page served from the wrong
// offset never passes for the right one.
inline Bytes patterned(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 31 + i / 256) & 0xFF);
    return bytes;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/oxu-test-XXXXXX";
        m_path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes content to name inside the folder and returns its path.
    std::string file(const std::string& name, const Bytes& content) const {
        const std::string path = m_path + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return path;
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace oxu::kit
