#include "protocol/download_command.h"

#include <exception>

#include "protocol/frames.h"
#include "protocol/port_setup.h"

namespace oxu {

DownloadResult runDownloadCommand(SerialPort& port, WindowServices& window) {
    using Outcome = DownloadResult::Outcome;
    try {
        if (window.messageBox(kDownloadQuestion, Buttons::YesNo, Icon::Question, kWindowTitle) !=
            Answer::Yes)
            return {Outcome::Declined, {}};
        configurePort(port, window);
        const Bytes command = buildDownloadCommand();
        port.open();
        port.write(command);
        // close() writes out and drains first: the 3 bytes reach the line.
        port.close();
        return {Outcome::Sent, {}};
    } catch (const std::exception& failure) {
        window.messageBox(failure.what(), Buttons::Ok, Icon::None, std::nullopt);
        return {Outcome::Failed, failure.what()};
    }
}

}  // namespace oxu
