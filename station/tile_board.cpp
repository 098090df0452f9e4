#include "station/tile_board.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <variant>

namespace oxu::station {
namespace {

std::string pageLine(int page, int pages) {
    return "page " + std::to_string(page) + " of " + std::to_string(pages);
}

std::string resultLine(runs::RunResult result) {
    if (result == runs::RunResult::Complete || result == runs::RunResult::Interrupted)
        return runs::describeResult(result);
    return std::string("failed: ") + runs::describeResult(result);
}

Tone resultTone(runs::RunResult result) {
    return result == runs::RunResult::Complete      ? Tone::Complete
           : result == runs::RunResult::Interrupted ? Tone::Stalled
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

TileBoard::TileBoard(const std::vector<runs::PlannedPort>& ports) {
    for (const runs::PlannedPort& port : ports) {
        m_tiles.emplace_back();
        identify(m_tiles.size() - 1, port.identity);
        TileView& tile = m_tiles.back();
        tile.used = port.used;
        tile.state = port.used ? "ready" : "not used: name it with --port or --device";
        if (port.used)
            m_slots.push_back(m_tiles.size() - 1);
    }
}

void TileBoard::identify(std::size_t index, const runs::PortIdentity& identity) {
    TileView& tile = m_tiles[index];
    tile.number = identity.number;
    tile.device = !identity.names.byId.empty()
                      ? std::filesystem::path(identity.names.byId.front()).filename().string()
                  : identity.device.empty() ? "no device"
                                            : identity.device;
    tile.adapter = identity.adapter.vendorId ? runs::describeAdapter(identity.adapter) : "";
}

void TileBoard::ended(std::size_t index, const runs::AttemptEnded& ended) {
    TileView& tile = m_tiles[index];
    const runs::AttemptReport& report = ended.report;
    tile.elapsed = report.duration;
    tile.state = resultLine(report.result);
    tile.tone = resultTone(report.result);
    tile.problem = report.problem;
    if (report.result == runs::RunResult::Complete && !report.allPagesServed)
        tile.problem = "only " + std::to_string(report.pagesServed) + " of " +
                       std::to_string(report.pagesAnnounced) + " pages were asked for";
    if (ended.again) {
        tile.state += ", trying again";
        return;
    }
    // A run stopped by the operator says nothing about the board.
    if (report.result == runs::RunResult::Interrupted)
        return;
    const bool complete = report.result == runs::RunResult::Complete;
    ++(complete ? tile.complete : tile.failed);
    ++(complete ? m_tally.complete : m_tally.failed);
}

std::vector<std::size_t> TileBoard::apply(const runs::RunEvent& event) {
    using namespace runs;
    std::vector<std::size_t> changed;
    const auto set = [&](std::size_t slot, std::string state, Tone tone) {
        if (slot >= m_slots.size())
            return;
        TileView& tile = m_tiles[m_slots[slot]];
        tile.state = std::move(state);
        tile.tone = tone;
        changed.push_back(m_slots[slot]);
    };
    std::visit(Overloaded{
                   [&](const RunStarted& started) {
                       for (std::size_t slot = 0;
                            slot < started.ports.size() && slot < m_slots.size(); ++slot) {
                           if (started.mode != RunMode::Station)
                               identify(m_slots[slot], started.ports[slot]);
                           m_tiles[m_slots[slot]].problem.clear();
                           set(slot, "starting", Tone::Working);
                       }
                   },
                   [&](const AttemptStarting& starting) {
                       if (starting.slot >= m_slots.size())
                           return;
                       TileView& tile = m_tiles[m_slots[starting.slot]];
                       identify(m_slots[starting.slot], starting.port);
                       tile.page = 0;
                       tile.elapsed = {};
                       tile.problem.clear();
                       set(starting.slot,
                           starting.attempt > 1
                               ? "connecting, attempt " + std::to_string(starting.attempt) +
                                     " of " + std::to_string(starting.attempts)
                               : "connecting",
                           Tone::Working);
                   },
                   [&](const AttemptEvent& happened) {
                       if (happened.slot >= m_slots.size())
                           return;
                       TileView& tile = m_tiles[m_slots[happened.slot]];
                       tile.page = happened.progress.page;
                       tile.pages = happened.progress.pages;
                       tile.elapsed = happened.progress.elapsed;
                       if (std::holds_alternative<ConnectionFailed>(happened.event))
                           set(happened.slot, "stalled: no answer", Tone::Stalled);
                       else if (std::holds_alternative<TransferInterrupted>(happened.event))
                           set(happened.slot, "stalled", Tone::Stalled);
                       else if (std::holds_alternative<UpdateStarted>(happened.event) ||
                                std::holds_alternative<PageServed>(happened.event) ||
                                std::holds_alternative<PageZeroRequested>(happened.event))
                           set(happened.slot, pageLine(tile.page, tile.pages), Tone::Working);
                   },
                   [&](const AttemptEnded& attemptEnded) {
                       if (attemptEnded.slot >= m_slots.size())
                           return;
                       ended(m_slots[attemptEnded.slot], attemptEnded);
                       changed.push_back(m_slots[attemptEnded.slot]);
                   },
                   [&](const StationChanged& station) {
                       if (station.slot >= m_slots.size())
                           return;
                       TileView& tile = m_tiles[m_slots[station.slot]];
                       if (station.phase == StationPhase::WaitingForBoard)
                           set(station.slot, "waiting for a board", Tone::Idle);
                       else if (station.phase == StationPhase::BoardFound) {
                           tile.device = station.device;
                           set(station.slot, "board found", Tone::Working);
                       } else if (station.phase == StationPhase::WaitingForRemoval)
                           set(station.slot, tile.state + ", remove the board", tile.tone);
                   },
                   [&](const Interrupting& interrupting) {
                       for (std::size_t slot : interrupting.running)
                           set(slot, "stopping", Tone::Stalled);
                   },
                   [&](const RunFinished&) {
                       // Ports that were waiting for a board wait no more.
                       for (std::size_t slot = 0; slot < m_slots.size(); ++slot) {
                           const Tone tone = m_tiles[m_slots[slot]].tone;
                           if (tone == Tone::Idle || tone == Tone::Working)
                               set(slot, "stopped", Tone::Idle);
                       }
                   },
                   [](const auto&) {},
               },
               event);
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    return changed;
}

}  // namespace oxu::station
