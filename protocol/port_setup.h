#pragma once

#include "protocol/serial_port.h"
#include "protocol/window_services.h"

namespace oxu {

// The configuration every command does before it opens the port: close it if
// open, select the port number from the port text (a 16-bit integer), then
// the baud rate of the selected option; with no option selected the rate
// stays as it is.
// Throws SerialError or std::invalid_argument (a port text that is not a number).
void configurePort(SerialPort& port, const WindowServices& window);

// Closes the port if it is open, so that it can be set up again. Bytes an
// earlier command left queued on a line that has since died are given up
// without a word: that command is being abandoned.
void releasePort(SerialPort& port);

// The port text as a 16-bit integer, surrounding blanks allowed. Throws
// std::invalid_argument for anything else.
int parsePortNumber(const std::string& text);

}  // namespace oxu
