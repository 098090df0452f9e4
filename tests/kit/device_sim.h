#pragma once

// The simulated device (oxu-device-sim) as an end-to-end test uses it: start
// it with fault flags, learn the terminal the updater should open, and read
// its verdict when it ends.

#include <chrono>
#include <string>
#include <vector>

#include "kit/child_process.h"

namespace oxu::testkit {

// The tools' child programs, which the tests start too.
using kit::ChildProcess;
using kit::Environment;
using kit::ProgramResult;
using kit::runProgram;

class DeviceSim {
public:
    // Starts the simulator at binary with flags and waits for its first line,
    // the terminal path. Throws std::runtime_error when no path comes within
    // startTimeout (its standard error is in the message).
    DeviceSim(const std::string& binary, const std::vector<std::string>& flags,
              std::chrono::milliseconds startTimeout = std::chrono::seconds(10));

    // The terminal the updater should open, e.g. /dev/pts/5.
    const std::string& path() const { return m_path; }

    // Waits for the simulator to end (killed after timeout) and returns what
    // it said; the verdict is in out.
    ProgramResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(15));

    // Ends a simulator that would otherwise wait for its own timeout.
    void stop();

    ChildProcess& process() { return m_process; }

private:
    ChildProcess m_process;
    std::string m_path;
};

// The line of text that starts with prefix (e.g. "verdict:"), or empty.
std::string findLine(const std::string& text, const std::string& prefix);

// How many times part occurs in text, overlaps included.
int countOccurrences(const std::string& text, const std::string& part);

}  // namespace oxu::testkit
