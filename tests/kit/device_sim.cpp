#include "tests/kit/device_sim.h"

#include <signal.h>

#include <stdexcept>

namespace oxu::testkit {

DeviceSim::DeviceSim(const std::string& binary, const std::vector<std::string>& flags,
                     std::chrono::milliseconds startTimeout)
    : m_process(binary, flags) {
    m_path = m_process.firstLine(startTimeout);
    if (m_path.empty()) {
        throw std::runtime_error("the simulator printed no terminal path; it said: " +
                                 m_process.output(ChildProcess::Stream::Err));
    }
}

ProgramResult DeviceSim::finish(std::chrono::milliseconds timeout) {
    return m_process.finish(timeout);
}

void DeviceSim::stop() {
    m_process.sendSignal(SIGTERM);
}

std::string findLine(const std::string& text, const std::string& prefix) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, prefix.size(), prefix) == 0)
            return text.substr(start, end - start);
        start = end + 1;
    }
    return {};
}

int countOccurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace oxu::testkit
