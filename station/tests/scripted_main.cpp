// oxu-station-scripted: the station window driven by commands on standard
// input (see scripted_station.h). For tests, the benchmark and screenshots.

#include "station/program.h"
#include "station/tests/scripted_station.h"

int main(int argc, char** argv) {
    using namespace oxu::station;
    return runStation(argc, argv,
                      [](StationOptions options, const std::vector<oxu::runs::PlannedPort>& ports,
                         StationParts parts) -> std::unique_ptr<StationWindow> {
                          return std::make_unique<oxu::testkit::ScriptedStation>(std::move(options),
                                                                                 ports, parts);
                      });
}
