#include "runs/port_requests.h"

#include <algorithm>

#include "protocol/line_choices.h"

namespace oxu::runs {

std::optional<int> parseDigits(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    return std::stoi(text);
}

int parsePortNumber(const std::string& text) {
    const auto value = parseDigits(text);
    if (!value || *value < kFirstPortNumber || *value > kLastPortNumber)
        throw PortOptionError("--port must be a number from " + std::to_string(kFirstPortNumber) +
                              " to " + std::to_string(kLastPortNumber) + ", not \"" + text + "\"");
    return *value;
}

std::vector<int> parsePortList(const std::string& text) {
    const PortOptionError bad("--ports must list ports " + std::to_string(kFirstPortNumber) +
                              " to " + std::to_string(kLastPortNumber) + " such as 1-4,7, not \"" +
                              text + "\"");
    std::vector<int> ports;
    std::size_t at = 0;
    do {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const std::size_t dash = item.find('-');
        const auto first = parseDigits(item.substr(0, dash));
        const auto last = dash == item.npos ? first : parseDigits(item.substr(dash + 1));
        if (!first || !last || *first < kFirstPortNumber || *last > kLastPortNumber ||
            *first > *last)
            throw bad;
        for (int port = *first; port <= *last; ++port)
            ports.push_back(port);
        at = comma + 1;
    } while (at <= text.size());
    return ports;
}

std::vector<PortRequest> pairPortRequests(std::vector<int> numbers,
                                          const std::vector<std::string>& devices) {
    constexpr std::size_t kMaxPorts = kLastPortNumber - kFirstPortNumber + 1;
    if (numbers.empty()) {
        for (std::size_t i = 0; i < devices.size(); ++i)
            numbers.push_back(kFirstPortNumber + static_cast<int>(i));
    }
    if (numbers.size() > kMaxPorts)
        throw PortOptionError("at most " + std::to_string(kMaxPorts) + " ports at once, not " +
                              std::to_string(numbers.size()));
    if (!devices.empty() && devices.size() != numbers.size())
        throw PortOptionError("give one --device for each port: " + std::to_string(numbers.size()) +
                              " ports and " + std::to_string(devices.size()) + " devices");
    std::vector<PortRequest> requests;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (std::find(numbers.begin(), numbers.begin() + static_cast<long>(i), numbers[i]) !=
            numbers.begin() + static_cast<long>(i))
            throw PortOptionError("port " + std::to_string(numbers[i]) + " is given twice");
        requests.push_back(
            {numbers[i], devices.empty() ? std::nullopt : std::optional<std::string>(devices[i])});
    }
    return requests;
}

}  // namespace oxu::runs
