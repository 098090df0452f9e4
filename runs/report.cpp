#include "runs/report.h"

#include <cstddef>

namespace oxu::runs {
namespace {

// Each result in words, as the records name it, and as the exit code of a
// one-port run; in the order of RunResult.
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

const char* modeKey(RunMode mode) {
    switch (mode) {
        case RunMode::Single:
            return "single";
        case RunMode::Gang:
            return "gang";
        case RunMode::Station:
            return "station";
    }
    return "gang";
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

int decideExitCode(RunMode mode, const std::vector<PortOutcome>& outcomes, bool interrupted) {
    bool cutShort = false;
    bool someFailed = false;
    for (const PortOutcome& outcome : outcomes) {
        cutShort = cutShort || outcome.last.result == RunResult::Interrupted;
        someFailed = someFailed || outcome.last.result != RunResult::Complete;
    }
    if (mode == RunMode::Station)
        return cutShort ? kExitInterrupted : someFailed ? kExitSomeFailed : kExitComplete;
    if (interrupted || cutShort)
        return kExitInterrupted;
    if (mode == RunMode::Single && outcomes.size() == 1)
        return exitCodeFor(outcomes.front().last.result);
    return someFailed ? kExitSomeFailed : kExitComplete;
}

}  // namespace oxu::runs
