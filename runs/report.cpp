#include "runs/report.h"

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <variant>

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

const char* describeInterruption(Interruption why) {
    return why == Interruption::OperatorStop ? "stopped by the operator"
                                             : "interrupted by a signal";
}

std::string describeEngineEvent(const UpdateEvent& event) {
    if (std::holds_alternative<PageZeroRequested>(event))
        return "the device asked for page 0; pages start at 1";
    if (std::holds_alternative<UpdateCompleted>(event))
        return describeResult(RunResult::Complete);
    if (std::holds_alternative<ConnectionFailed>(event))
        return describeResult(RunResult::ConnectionFailed);
    if (std::holds_alternative<TransferInterrupted>(event))
        return describeResult(RunResult::TransferInterrupted);
    if (const auto* lost = std::get_if<PortLost>(&event))
        return lost->description;
    if (const auto* failed = std::get_if<WriteFailed>(&event))
        return failed->description;
    return {};
}

std::string groupThousands(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

std::string describeProblem(const PortOutcome& outcome) {
    const AttemptReport& last = outcome.last;
    std::string words = last.problem;
    if (last.errorKind) {
        switch (*last.errorKind) {
            case PortErrorKind::NoDevice:
                words = "no device there";
                break;
            case PortErrorKind::Busy:
                words = "in use by another program";
                break;
            case PortErrorKind::AccessDenied:
                words = "access denied";
                break;
            case PortErrorKind::Stalled:
                words = "the line stopped taking bytes";
                break;
            case PortErrorKind::Disconnected:
                words = "disconnected";
                break;
            case PortErrorKind::Io:
                // During an update, the port fails on a write.
                words =
                    last.result == RunResult::NotStarted ? "input/output error" : "write failed";
                break;
            case PortErrorKind::Unsupported:
                words = "not supported by the port";
                break;
        }
    }
    if (outcome.removedBeforeRetry)
        words += (words.empty() ? "" : "; ") + std::string("board removed before the retry");
    return words;
}

std::string formatClockTime(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    char text[16] = "--:--:--";
    if (::localtime_r(&seconds, &local) != nullptr)
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string describeBoard(const PortOutcome& board) {
    const std::string problem = describeProblem(board);
    return "board " + std::to_string(board.board) + " at " + formatClockTime(board.ended) + ": " +
           describeResult(board.last.result) + (problem.empty() ? "" : " (" + problem + ")");
}

std::string formatCompleteCount(const std::vector<PortOutcome>& outcomes) {
    const auto complete = std::count_if(outcomes.begin(), outcomes.end(), [](const auto& outcome) {
        return outcome.last.result == RunResult::Complete;
    });
    return std::to_string(complete) + " of " + std::to_string(outcomes.size()) + " complete";
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
