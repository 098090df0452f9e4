#include "runs/port_requests.h"

#include <algorithm>

#include "protocol/line_choices.h"

namespace oxu::runs {

std::string argumentBytes(const QString& text) {
    return text.toLatin1().toStdString();
}

std::optional<int> parseDigits(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    return std::stoi(text);
}

int parsePortNumber(const std::string& text) {
    const auto value = parseDigits(text);
    if (!value || *value < kFirstPortNumber || *value > kLastPortNumber)
        throw OptionError("--port must be a number from " + std::to_string(kFirstPortNumber) +
                          " to " + std::to_string(kLastPortNumber) + ", not \"" + text + "\"");
    return *value;
}

std::vector<int> parsePortList(const std::string& text) {
    const OptionError bad("--ports must list ports " + std::to_string(kFirstPortNumber) + " to " +
                          std::to_string(kLastPortNumber) + " such as 1-4,7, not \"" + text + "\"");
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

int parseBaudRate(const std::string& text) {
    const auto value = parseDigits(text);
    if (!value || findLineChoiceByBaud(*value) == nullptr)
        throw OptionError("--baud must be " + listBaudRates() + ", not \"" + text + "\"");
    return *value;
}

int parseRetryCount(const std::string& text) {
    const auto value = parseDigits(text);
    if (!value || *value > kMaxRetries)
        throw OptionError("--retry must be a number from 0 to " + std::to_string(kMaxRetries) +
                          ", not \"" + text + "\"");
    return *value;
}

PortOptions readPortOptions(const QCommandLineParser& parser) {
    PortOptions options;
    const QStringList portValues = parser.values("port"), listValues = parser.values("ports");
    qsizetype nextPort = 0, nextList = 0;
    for (const QString& name : parser.optionNames()) {
        if (name == "port")
            options.numbers.push_back(parsePortNumber(argumentBytes(portValues[nextPort++])));
        if (name == "ports") {
            for (int number : parsePortList(argumentBytes(listValues[nextList++])))
                options.numbers.push_back(number);
        }
    }
    for (const QString& value : parser.values("device")) {
        if (value.isEmpty())
            throw OptionError("--device needs a device path, e.g. /dev/ttyUSB0");
        options.devices.push_back(argumentBytes(value));
    }
    return options;
}

std::optional<std::string> readLogPath(const QCommandLineParser& parser) {
    std::optional<std::string> path;
    for (const QString& value : parser.values("log")) {
        if (value.isEmpty())
            throw OptionError("--log needs a file path");
        path = argumentBytes(value);
    }
    return path;
}

std::vector<PortRequest> pairPortRequests(std::vector<int> numbers,
                                          const std::vector<std::string>& devices) {
    constexpr std::size_t kMaxPorts = kLastPortNumber - kFirstPortNumber + 1;
    // Counted before devices are given numbers: too many is said as such,
    // whichever option gave them.
    const std::size_t count = std::max(numbers.size(), devices.size());
    if (count > kMaxPorts)
        throw OptionError("at most " + std::to_string(kMaxPorts) + " ports at once, not " +
                          std::to_string(count));
    if (numbers.empty()) {
        for (std::size_t i = 0; i < devices.size(); ++i)
            numbers.push_back(kFirstPortNumber + static_cast<int>(i));
    }
    if (!devices.empty() && devices.size() != numbers.size())
        throw OptionError("give one --device for each port: " + std::to_string(numbers.size()) +
                          " ports and " + std::to_string(devices.size()) + " devices");
    std::vector<PortRequest> requests;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (std::find(numbers.begin(), numbers.begin() + static_cast<long>(i), numbers[i]) !=
            numbers.begin() + static_cast<long>(i))
            throw OptionError("port " + std::to_string(numbers[i]) + " is given twice");
        requests.push_back(
            {numbers[i], devices.empty() ? std::nullopt : std::optional<std::string>(devices[i])});
    }
    return requests;
}

}  // namespace oxu::runs
