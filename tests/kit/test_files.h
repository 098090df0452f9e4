#pragma once

// Firmware files on disk for tests: a private folder removed at the end.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "protocol/bytes.h"

namespace oxu::testkit {

// Bytes that differ from page to page, so a page served from the wrong
// offset never passes for the right one.
inline Bytes patterned(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 31 + i / 256) & 0xFF);
    return bytes;
}

// The whole file, byte for byte; empty when it cannot be read.
inline std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The same, as bytes, for comparing with an image.
inline Bytes readFile(const std::string& path) {
    const std::string text = readText(path);
    return Bytes(text.begin(), text.end());
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

}  // namespace oxu::testkit
