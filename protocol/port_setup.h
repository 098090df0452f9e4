#pragma once

#include "protocol/window_services.h"
#include "serial/serial_port.h"

namespace oxu {

// The configuration every command does before it opens the port: close it if
// open, select the port number from the port text (a 16-bit integer), then
// the line settings of the first selected baud option (9600, 19200, 38400);
// with no option selected the settings stay as they are.
// Throws SerialError or std::invalid_argument (a port text that is not a number).
void configurePort(SerialPort& port, const WindowServices& window);

// The port text as a 16-bit integer, surrounding blanks allowed. Throws
// std::invalid_argument for anything else.
int parsePortNumber(const std::string& text);

}  // namespace oxu
