#pragma once

#include <optional>
#include <string>

#include "protocol/serial_port.h"
#include "protocol/window_services.h"

namespace oxu {

// The configuration every command does before it opens the port: close it if
// open, select the port number from the port text (a 16-bit integer), then
// the baud rate of the selected option; with no option selected the rate
// stays as it is.
// Throws SerialError or std::invalid_argument (a port text that is not a number).
void configurePort(SerialPort& port, const WindowServices& window);

// Closes the port if it is open. A close that could not write out what was
// queued has released the port all the same; its failure is returned, for
// the caller to say once or to drop. Nothing when the port closed cleanly or
// was not open. Never throws.
std::optional<std::string> closeQuietly(SerialPort& port);

// The port text as a 16-bit integer, surrounding blanks allowed. Throws
// std::invalid_argument for anything else.
int parsePortNumber(const std::string& text);

}  // namespace oxu
