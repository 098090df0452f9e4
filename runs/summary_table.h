#pragma once

// The summary of a run as a table for a terminal or a log, whose lines fit a
// given width.

#include <cstddef>
#include <string>

#include "runs/report.h"

namespace oxu::runs {

// The summary in at most `width` columns: a heading and one row per outcome,
// columns aligned: port, (station mode: board on the port, time), result,
// pages (served/announced), bytes, seconds, retries and device. A device
// too long for the row goes on a line of its own below it, shortened in the
// middle if even that is too short; the adapter and what went wrong follow
// on lines of their own. Ends with a newline.
std::string formatSummaryTable(const RunSummary& summary, std::size_t width = 80);

}  // namespace oxu::runs
