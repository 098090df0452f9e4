#pragma once

// How a run of the production line shows itself to people, made from its
// events: one port as oxu-update has always shown it (a progress line, the
// engine's messages), or several ports (a line each, a summary table), and
// the JSON lines on standard output. The words of every phase and result
// are here; the run itself only tells values.

#include <memory>
#include <ostream>

#include "cli/options.h"
#include "protocol/clock.h"
#include "runs/image.h"
#include "runs/records.h"
#include "runs/run_events.h"

namespace oxu::cli {

class Presenter : public runs::RunObserver {
public:
    // Redraws what moved on; called every GangDisplay::kRedrawInterval
    // while lines are rewritten in place.
    virtual void refresh() {}
};

// One port, not in station mode: messages on standard error, progress on
// standard error when it is a terminal (or with --json), else on standard
// output, a line a page.
std::unique_ptr<Presenter> makeSinglePresenter(const Options& options,
                                               const runs::ImageSnapshot& image,
                                               const Clock& clock);

// Several ports, or station mode: a line per port (rewritten in place when
// live), messages naming their port, and the summary table on tableOut.
std::unique_ptr<Presenter> makeGangPresenter(const Options& options,
                                             const runs::ImageSnapshot& image, const Clock& clock,
                                             bool live, int columns, std::ostream& progress,
                                             std::ostream& tableOut);

// --json: attempt records as they end, then the summary, one line each.
class JsonLines final : public runs::RecordSink {
public:
    explicit JsonLines(std::ostream& out) : m_out(out) {}
    std::optional<std::string> write(runs::RecordKind kind, const QJsonObject& record) override;

private:
    std::ostream& m_out;
};

}  // namespace oxu::cli
