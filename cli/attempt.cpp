#include "cli/attempt.h"

#include <cstdio>

#include "cli/options.h"

namespace oxu::cli {

const char* describeResult(RunResult result) {
    switch (result) {
        case RunResult::Complete:
            return "complete";
        case RunResult::ConnectionFailed:
            return "connection failed";
        case RunResult::TransferInterrupted:
            return "transfer interrupted";
        case RunResult::PortLost:
            return "port lost";
        case RunResult::NotStarted:
            return "could not start";
        case RunResult::Interrupted:
            return "interrupted";
    }
    return "?";
}

const char* resultKey(RunResult result) {
    switch (result) {
        case RunResult::Complete:
            return "complete";
        case RunResult::ConnectionFailed:
            return "connection_failed";
        case RunResult::TransferInterrupted:
            return "transfer_interrupted";
        case RunResult::PortLost:
            return "port_lost";
        case RunResult::NotStarted:
            return "could_not_start";
        case RunResult::Interrupted:
            return "interrupted";
    }
    return "?";
}

int exitCodeFor(RunResult result) {
    switch (result) {
        case RunResult::Complete:
            return kExitComplete;
        case RunResult::ConnectionFailed:
            return kExitConnectionFailed;
        case RunResult::TransferInterrupted:
            return kExitTransferInterrupted;
        case RunResult::PortLost:
            return kExitPortLost;
        case RunResult::NotStarted:
            return kExitNotStarted;
        case RunResult::Interrupted:
            return kExitInterrupted;
    }
    return kExitNotStarted;
}

std::string formatAdapter(const UsbAdapter& adapter) {
    std::string text;
    if (adapter.vendorId || adapter.productId) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", adapter.vendorId.value_or(0),
                      adapter.productId.value_or(0));
        text = ids;
    }
    if (!adapter.serialNumber.empty())
        text += (text.empty() ? "" : " ") + adapter.serialNumber;
    return text.empty() ? "-" : text;
}

}  // namespace oxu::cli
