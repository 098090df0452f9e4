#include "cli/attempt.h"

#include <cstddef>

#include "cli/options.h"

namespace oxu::cli {

namespace {

// Each result as the summary shows it, as JSON and the audit log name it,
// and as the exit code of a one-port run; in the order of RunResult.
struct ResultNames {
    RunResult result;
    const char* text;
    const char* key;
    int exitCode;
};

constexpr ResultNames kResultNames[] = {
    {RunResult::Complete, "complete", "complete", kExitComplete},
    {RunResult::ConnectionFailed, "connection failed", "connection_failed", kExitConnectionFailed},
    {RunResult::TransferInterrupted, "transfer interrupted", "transfer_interrupted",
     kExitTransferInterrupted},
    {RunResult::PortLost, "port lost", "port_lost", kExitPortLost},
    {RunResult::NotStarted, "could not start", "could_not_start", kExitNotStarted},
    {RunResult::Interrupted, "interrupted", "interrupted", kExitInterrupted},
};

constexpr bool listsEveryResultInOrder() {
    std::size_t at = 0;
    for (const ResultNames& names : kResultNames) {
        if (static_cast<std::size_t>(names.result) != at++)
            return false;
    }
    return at == static_cast<std::size_t>(RunResult::Interrupted) + 1;
}
static_assert(listsEveryResultInOrder(), "kResultNames follows RunResult, one entry each");

const ResultNames& namesOf(RunResult result) {
    return kResultNames[static_cast<std::size_t>(result)];
}

}  // namespace

const char* describeResult(RunResult result) {
    return namesOf(result).text;
}

const char* resultKey(RunResult result) {
    return namesOf(result).key;
}

int exitCodeFor(RunResult result) {
    return namesOf(result).exitCode;
}

std::string formatAdapter(const UsbAdapter& adapter) {
    std::string text;
    if (adapter.vendorId || adapter.productId)
        text = formatUsbId(adapter.vendorId.value_or(0)) + ":" +
               formatUsbId(adapter.productId.value_or(0));
    if (!adapter.serialNumber.empty())
        text += (text.empty() ? "" : " ") + adapter.serialNumber;
    return text.empty() ? "-" : text;
}

}  // namespace oxu::cli
