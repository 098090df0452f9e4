#pragma once

// The program around the window: the command line, the ports, the
// system's clock, and SIGTERM, SIGINT and SIGHUP, which stop a run cleanly
// (every port closed, every record written) before the window closes.

#include <functional>
#include <memory>
#include <vector>

#include "station/station_window.h"

namespace oxu::station {

using MakeWindow = std::function<std::unique_ptr<StationWindow>(
    StationOptions, const std::vector<runs::PlannedPort>&, StationParts)>;

// Runs the program with the window that make returns; returns its exit code.
int runStation(int argc, char** argv, const MakeWindow& make);

}  // namespace oxu::station
