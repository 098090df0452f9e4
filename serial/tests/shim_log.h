#pragma once

// The calls a program made on its port, as the line shim (line_shim.cpp)
// logged them: one entry a line, e.g. "ioctl TIOCMBIC RTS = 0".

#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace oxu::testkit {

class ShimLog {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // The log at path as it is now; empty when there is none.
    static ShimLog read(const std::string& path) {
        ShimLog log;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            log.lines.push_back(line);
        return log;
    }

    // Index of the first entry at or after from that starts with prefix.
    std::size_t find(const std::string& prefix, std::size_t from = 0) const {
        for (std::size_t i = from; i < lines.size(); ++i) {
            if (lines[i].rfind(prefix, 0) == 0)
                return i;
        }
        return kNone;
    }

    // Every entry that starts with prefix.
    std::vector<std::string> all(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line);
        }
        return found;
    }

    // The entries that start with one of the prefixes, in order: the calls of
    // interest, without the rest.
    std::vector<std::string> only(const std::vector<std::string>& prefixes) const {
        std::vector<std::string> found;
        for (const std::string& line : lines) {
            for (const std::string& prefix : prefixes) {
                if (line.rfind(prefix, 0) == 0) {
                    found.push_back(line);
                    break;
                }
            }
        }
        return found;
    }

    std::string text() const {
        std::string joined;
        for (const std::string& line : lines)
            joined += line + "\n";
        return joined;
    }

    std::vector<std::string> lines;
};

}  // namespace oxu::testkit
