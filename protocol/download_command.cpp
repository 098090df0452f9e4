#include "protocol/download_command.h"

#include <exception>

#include "protocol/frames.h"
#include "protocol/port_setup.h"

namespace oxu {

void runDownloadCommand(SerialPort& port, WindowServices& window) {
    try {
        if (window.messageBox(kDownloadQuestion, Buttons::YesNo, Icon::Question, kWindowTitle) !=
            Answer::Yes)
            return;
        configurePort(port, window);
        const Bytes command = buildDownloadCommand();
        port.open();
        port.write(command);
        // close() writes out and drains first: the 3 bytes reach the line.
        port.close();
    } catch (const std::exception& failure) {
        window.messageBox(failure.what(), Buttons::Ok, Icon::None, std::nullopt);
    }
}

}  // namespace oxu
