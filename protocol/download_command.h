#pragma once

#include "protocol/window_services.h"
#include "serial/serial_port.h"

namespace oxu {

inline constexpr const char* kDownloadQuestion = "Do you want to send the Download Command?";

// The "Send Download Command" button: after a Yes, configures and opens the
// port, writes 2F 55 AA in one write and closes the port (the bytes are on
// the line before it is released). A failure ends the command at that step
// and shows its description in a box with no icon and the application title.
void runDownloadCommand(SerialPort& port, WindowServices& window);

}  // namespace oxu
