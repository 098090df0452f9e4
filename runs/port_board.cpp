#include "runs/port_board.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <variant>

namespace oxu::runs {
namespace {

std::string pageLine(int page, int pages) {
    return "page " + std::to_string(page) + " of " + std::to_string(pages);
}

std::string resultLine(RunResult result) {
    if (result == RunResult::Complete || result == RunResult::Interrupted)
        return describeResult(result);
    return std::string("failed: ") + describeResult(result);
}

Tone resultTone(RunResult result) {
    return result == RunResult::Complete      ? Tone::Complete
           : result == RunResult::Interrupted ? Tone::Stalled
                                              : Tone::Failed;
}

}  // namespace

std::string describeTally(const Tally& tally) {
    const int boards = tally.complete + tally.failed;
    std::string yield = "-";
    if (boards > 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%.1f%%", 100.0 * tally.complete / boards);
        yield = text;
    }
    return "complete " + std::to_string(tally.complete) + ", failed " +
           std::to_string(tally.failed) + ", yield " + yield;
}

PortBoard::PortBoard(const std::vector<PlannedPort>& ports) : m_pace(ports.size()) {
    for (const PlannedPort& port : ports) {
        m_ports.emplace_back();
        identify(m_ports.size() - 1, port.identity);
        PortView& view = m_ports.back();
        view.used = port.used;
        view.state = port.used ? "ready" : "not used: name it with --port or --device";
        if (port.used)
            m_slots.push_back(m_ports.size() - 1);
    }
}

void PortBoard::identify(std::size_t index, const PortIdentity& identity) {
    PortView& view = m_ports[index];
    view.number = identity.number;
    view.device = !identity.names.byId.empty()
                      ? std::filesystem::path(identity.names.byId.front()).filename().string()
                  : identity.device.empty() ? "no device"
                                            : identity.device;
    view.adapter = identity.adapter.vendorId ? describeAdapter(identity.adapter) : "";
}

void PortBoard::ended(std::size_t index, const AttemptEnded& ended) {
    PortView& view = m_ports[index];
    const AttemptReport& report = ended.report;
    m_pace[index].since.reset();
    view.elapsed = report.duration;
    view.state = resultLine(report.result);
    view.tone = resultTone(report.result);
    view.problem = describeProblem({ended.port, report});
    view.detail = report.problem;
    if (report.result == RunResult::Complete && !report.allPagesServed)
        view.problem = view.detail = "only " + std::to_string(report.pagesServed) + " of " +
                                     std::to_string(report.pagesAnnounced) +
                                     " pages were asked for";
    if (ended.again) {
        view.state += ", trying again";
        return;
    }
    // A run stopped by the operator says nothing about the board.
    if (report.result == RunResult::Interrupted)
        return;
    const bool complete = report.result == RunResult::Complete;
    ++(complete ? view.complete : view.failed);
    ++(complete ? m_tally.complete : m_tally.failed);
}

std::vector<std::size_t> PortBoard::apply(const RunEvent& event, std::chrono::microseconds now) {
    std::vector<std::size_t> changed;
    const auto at = [&](std::size_t slot) -> std::optional<std::size_t> {
        if (slot >= m_slots.size())
            return std::nullopt;
        return m_slots[slot];
    };
    const auto shown = [&](std::size_t index) {
        m_pace[index].paging = m_pace[index].pending = false;
        changed.push_back(index);
    };
    const auto set = [&](std::size_t slot, std::string state, Tone tone) {
        if (const auto index = at(slot)) {
            m_ports[*index].state = std::move(state);
            m_ports[*index].tone = tone;
            shown(*index);
        }
    };
    std::visit(Overloaded{
                   [&](const RunStarted& started) {
                       for (std::size_t slot = 0; slot < started.ports.size() && at(slot); ++slot) {
                           if (started.mode != RunMode::Station)
                               identify(m_slots[slot], started.ports[slot]);
                           m_ports[m_slots[slot]].problem.clear();
                           m_ports[m_slots[slot]].detail.clear();
                           set(slot, "starting", Tone::Working);
                       }
                   },
                   [&](const AttemptStarting& starting) {
                       const auto index = at(starting.slot);
                       if (!index)
                           return;
                       PortView& view = m_ports[*index];
                       identify(*index, starting.port);
                       view.page = 0;
                       view.elapsed = {};
                       view.problem.clear();
                       view.detail.clear();
                       m_pace[*index].since = now;
                       set(starting.slot,
                           starting.attempt > 1
                               ? "connecting, attempt " + std::to_string(starting.attempt) +
                                     " of " + std::to_string(starting.attempts)
                               : "connecting",
                           Tone::Working);
                   },
                   [&](const AttemptEvent& happened) {
                       const auto index = at(happened.slot);
                       if (!index)
                           return;
                       PortView& view = m_ports[*index];
                       Pace& pace = m_pace[*index];
                       view.page = happened.progress.page;
                       view.pages = happened.progress.pages;
                       view.elapsed = happened.progress.elapsed;
                       pace.since = now - happened.progress.elapsed;
                       if (std::holds_alternative<ConnectionFailed>(happened.event)) {
                           set(happened.slot, "stalled: no answer", Tone::Stalled);
                       } else if (std::holds_alternative<TransferInterrupted>(happened.event)) {
                           set(happened.slot, "stalled", Tone::Stalled);
                       } else if (std::holds_alternative<UpdateStarted>(happened.event) ||
                                  std::holds_alternative<PageServed>(happened.event) ||
                                  std::holds_alternative<PageZeroRequested>(happened.event)) {
                           std::string line = pageLine(view.page, view.pages);
                           // Only the page moved on: shown with the next refresh.
                           if (pace.paging && view.tone == Tone::Working) {
                               view.state = std::move(line);
                               pace.pending = true;
                           } else {
                               set(happened.slot, std::move(line), Tone::Working);
                               pace.paging = true;
                           }
                       } else {
                           pace.pending = true;
                       }
                   },
                   [&](const AttemptEnded& attemptEnded) {
                       if (const auto index = at(attemptEnded.slot)) {
                           ended(*index, attemptEnded);
                           shown(*index);
                       }
                   },
                   [&](const StationChanged& station) {
                       const auto index = at(station.slot);
                       if (!index)
                           return;
                       PortView& view = m_ports[*index];
                       if (station.phase == StationPhase::WaitingForBoard)
                           set(station.slot, "waiting for a board", Tone::Idle);
                       else if (station.phase == StationPhase::BoardFound) {
                           view.device = station.device;
                           set(station.slot, "board found", Tone::Working);
                       } else if (station.phase == StationPhase::WaitingForRemoval)
                           set(station.slot, view.state + ", remove the board", view.tone);
                   },
                   [&](const Interrupting& interrupting) {
                       for (std::size_t slot : interrupting.running)
                           set(slot, "stopping", Tone::Stalled);
                   },
                   [&](const RunFinished&) {
                       // Ports that were waiting for a board wait no more.
                       for (std::size_t slot = 0; slot < m_slots.size(); ++slot) {
                           const Tone tone = m_ports[m_slots[slot]].tone;
                           if (tone == Tone::Idle || tone == Tone::Working)
                               set(slot, "stopped", Tone::Idle);
                       }
                       for (std::size_t index = 0; index < m_pace.size(); ++index) {
                           m_pace[index].since.reset();
                           if (m_pace[index].pending)
                               shown(index);
                       }
                   },
                   [](const auto&) {},
               },
               event);
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    return changed;
}

std::vector<std::size_t> PortBoard::refresh(std::chrono::microseconds now) {
    std::vector<std::size_t> due;
    for (std::size_t index = 0; index < m_pace.size(); ++index) {
        Pace& pace = m_pace[index];
        if (pace.since)
            m_ports[index].elapsed = now - *pace.since;
        if (pace.since || pace.pending)
            due.push_back(index);
        pace.pending = false;
    }
    return due;
}

bool PortBoard::wantsRefresh() const {
    return std::any_of(m_pace.begin(), m_pace.end(),
                       [](const Pace& pace) { return pace.since || pace.pending; });
}

}  // namespace oxu::runs
