#pragma once

// A bare pseudo-terminal for end-to-end tests that play a device which
// never answers: the test holds both ends, so the terminal stays usable
// whatever the program under test does with it.

#include <chrono>
#include <string>

#include "kit/pty.h"

namespace oxu::testkit {

class PtyPair {
public:
    // Opens a pty with both ends raw (a blocking master). Throws
    // std::runtime_error on failure.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The path the program under test opens, e.g. /dev/pts/7.
    const std::string& path() const { return m_ends.slavePath; }

    // Writes text to the device end (a terminal's keyboard, for a pty given
    // to a program as its standard input).
    void writeDeviceEnd(const std::string& text);

    // Reads from the device end until count bytes came or timeout passed.
    std::string readDeviceEnd(std::size_t count, std::chrono::milliseconds timeout);

private:
    kit::PtyEnds m_ends;
};

}  // namespace oxu::testkit
