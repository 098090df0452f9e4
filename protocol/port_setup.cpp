#include "protocol/port_setup.h"

#include <cctype>
#include <limits>
#include <stdexcept>

namespace oxu {

int parsePortNumber(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    const std::string digits = text.substr(begin, end - begin);

    std::size_t pos = 0;
    if (digits.empty() || digits.size() > 6)
        pos = std::string::npos;
    else if (digits[0] == '+' || digits[0] == '-')
        pos = 1;
    bool ok = pos != std::string::npos && pos < digits.size();
    for (std::size_t i = pos; ok && i < digits.size(); ++i)
        ok = std::isdigit(static_cast<unsigned char>(digits[i])) != 0;
    if (!ok)
        throw std::invalid_argument("The port \"" + text + "\" is not a port number.");

    const long value = std::stol(digits);
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max())
        throw std::invalid_argument("The port number " + digits + " is out of range.");
    return static_cast<int>(value);
}

std::optional<std::string> closeQuietly(SerialPort& port) {
    try {
        if (port.isOpen())
            port.close();
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return std::nullopt;
}

void configurePort(SerialPort& port, const WindowServices& window) {
    // Bytes an earlier command left queued on a line that has since died:
    // that command is being abandoned, and the port is released all the
    // same, so the new command goes on.
    closeQuietly(port);
    port.setPortNumber(parsePortNumber(window.portText()));
    if (const LineChoice* line = findLineChoice(window.selectedBaud()))
        port.setBaudRate(line->baud);
}

}  // namespace oxu
