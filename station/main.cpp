// oxu-station: a production line's view of up to 16 serial ports, one tile
// per port, on the same runs and audit log as oxu-update.

#include "station/program.h"

int main(int argc, char** argv) {
    using namespace oxu::station;
    return runStation(argc, argv,
                      [](StationOptions options, const std::vector<oxu::runs::PlannedPort>& ports,
                         StationParts parts) {
                          return std::make_unique<StationWindow>(std::move(options), ports, parts);
                      });
}
