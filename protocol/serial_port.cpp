#include "protocol/serial_port.h"

namespace oxu {

const char* portErrorKey(PortErrorKind kind) {
    switch (kind) {
        case PortErrorKind::NoDevice:
            return "no_device";
        case PortErrorKind::Busy:
            return "busy";
        case PortErrorKind::AccessDenied:
            return "access_denied";
        case PortErrorKind::Stalled:
            return "stalled";
        case PortErrorKind::Disconnected:
            return "disconnected";
        case PortErrorKind::Io:
            return "io";
        case PortErrorKind::Unsupported:
            return "unsupported";
    }
    return "io";
}

}  // namespace oxu
