#pragma once

#include <string>

#include "protocol/serial_port.h"
#include "protocol/window_services.h"

namespace oxu {

inline constexpr const char* kDownloadQuestion = "Do you want to send the Download Command?";

// What became of a download command.
struct DownloadResult {
    enum class Outcome { Sent, Declined, Failed };
    Outcome outcome = Outcome::Declined;
    std::string failure;  // the description shown, when Failed
};

// The "Send Download Command" button: after a Yes, configures and opens the
// port, writes 2F 55 AA in one write and closes the port (the bytes are on
// the line before it is released). A failure ends the command at that step
// and shows its description in a box with no icon and the application title.
DownloadResult runDownloadCommand(SerialPort& port, WindowServices& window);

}  // namespace oxu
