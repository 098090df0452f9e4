#include "device/fault_plan.h"

#include <algorithm>

#include "device/uart_line.h"
#include "protocol/frames.h"

namespace oxu::sim {

FaultPlan::FaultPlan(const Faults& faults)
    : m_faults(faults), m_seed(faults.seed ? *faults.seed : std::random_device{}()) {
    m_random.seed(m_seed);
}

Step FaultPlan::afterHeader(int update) const {
    if (update <= m_faults.silentFirst) {
        return {Step::Kind::AwaitNextUpdate,
                {},
                "--silent-first " + std::to_string(m_faults.silentFirst) +
                    ": requested no page in update " + std::to_string(update)};
    }
    if (m_faults.silent)
        return {Step::Kind::FallSilent, {}, "--silent: requested no page"};
    return {};
}

Bytes FaultPlan::noiseBeforeRequests() {
    Bytes garbage;
    std::uniform_int_distribution<int> byte(0, 255);
    while (garbage.size() < static_cast<std::size_t>(m_faults.garbage)) {
        const auto value = static_cast<std::uint8_t>(byte(m_random));
        // Neither may appear: 0xAA could start a valid request and a lone
        // 0x55 would read as completion; the fault is meant to be garbage.
        if (value != kFrameMark && value != kCompletionByte)
            garbage.push_back(value);
    }
    return garbage;
}

std::vector<int> FaultPlan::pageOrder(int pages) {
    return makePageOrder(m_faults.order, pages, m_faults.extraPages, m_random);
}

Step FaultPlan::beforeRequest(int pagesOk) {
    const std::string after = std::to_string(pagesOk);
    if (m_faults.hangupAfter == pagesOk) {
        return {Step::Kind::HangUp,
                {},
                "--hangup-after " + after + ": dropped the line after " + after + " pages"};
    }
    if (m_faults.stopAfter != pagesOk || m_stopped)
        return {};
    m_stopped = true;
    if (m_faults.resumeAfter)
        return {Step::Kind::Pause, *m_faults.resumeAfter, "the pause of --stop-after"};
    return {Step::Kind::FallSilent,
            {},
            "--stop-after " + after + ": fell silent after " + after + " pages"};
}

Step FaultPlan::duringFrame(int pagesOk) const {
    if (m_faults.hangupMidPage != pagesOk)
        return {};
    const std::string after = std::to_string(pagesOk);
    return {Step::Kind::HangUp,
            {},
            "--hangup-mid-page " + after + ": dropped the line halfway through the frame after " +
                after + " pages"};
}

RequestShape FaultPlan::requestShape(bool last) const {
    if (m_faults.burst && last)
        return RequestShape::WithCompletion;
    return m_faults.split ? RequestShape::Split : RequestShape::Whole;
}

bool FaultPlan::retriesBadChecksum(int retries) const {
    return m_faults.retryBadChecksum && retries < kMaxRetries;
}

std::optional<std::chrono::microseconds> FaultPlan::byteTime() const {
    if (!m_faults.baud)
        return std::nullopt;
    return std::chrono::duration_cast<std::chrono::microseconds>(lineByteTime(*m_faults.baud));
}

std::vector<int> makePageOrder(PageOrder order, int pages, int extraPages,
                               std::mt19937_64& random) {
    std::vector<int> sequence;
    const int last = std::min(pages + extraPages, kMaxPageCount);
    for (int page = 1; page <= last; ++page)
        sequence.push_back(page);
    switch (order) {
        case PageOrder::Sequential:
            break;
        case PageOrder::Reverse:
            std::reverse(sequence.begin(), sequence.end());
            break;
        case PageOrder::Random:
            std::shuffle(sequence.begin(), sequence.end(), random);
            break;
        case PageOrder::Repeat: {
            std::vector<int> twice;
            for (int page : sequence) {
                twice.push_back(page);
                twice.push_back(page);
            }
            sequence = std::move(twice);
            break;
        }
    }
    return sequence;
}

}  // namespace oxu::sim
