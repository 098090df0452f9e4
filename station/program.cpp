#include "station/program.h"

#include <signal.h>

#include <QApplication>
#include <QSocketNotifier>
#include <iostream>

#include "desktop/display.h"
#include "runs/interrupts.h"
#include "runs/run_clock.h"

namespace oxu::station {

int runStation(int argc, char** argv, const MakeWindow& make) {
    runs::openClosedStandardDescriptors();
    auto parsed = parseStationCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                          std::cout, std::cerr);
    if (const int* exitCode = std::get_if<int>(&parsed))
        return *exitCode;
    StationOptions options = std::get<StationOptions>(std::move(parsed));
    if (const auto shared = runs::findSharedDevice(options.ports)) {
        std::cerr << kProgramName << ": COM " << options.ports[shared->first].number << " and COM "
                  << options.ports[shared->second].number << " are the same device ("
                  << shared->device << "); give each port its own\n";
        return kExitUsage;
    }
    if (!displayAvailable()) {
        std::cerr << kProgramName
                  << ": no display (DISPLAY and WAYLAND_DISPLAY are not set); use oxu-update "
                     "in a terminal\n";
        return kExitNoDisplay;
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (!runs::installSignalWatch())
        std::cerr << kProgramName << ": warning: a signal will not close the ports cleanly\n";

    QApplication app(argc, argv);
    QApplication::setApplicationName(kProgramName);
    runs::LoopClock clock;
    runs::SystemPorts system;
    const std::vector<runs::PlannedPort> ports =
        runs::planPorts(options.ports, system, runs::scanPortCandidates);
    std::unique_ptr<StationWindow> window =
        make(std::move(options), ports, {system, system, clock});

    QSocketNotifier signalWatch(runs::signalPipeFd(), QSocketNotifier::Read);
    signalWatch.setEnabled(runs::signalPipeFd() >= 0);
    QObject::connect(&signalWatch, &QSocketNotifier::activated, [&window] {
        runs::drainSignalPipe();
        window->stopAndClose();
    });
    window->show();
    const int exitCode = app.exec();
    return runs::caughtSignal() != 0 ? runs::kExitInterrupted : exitCode;
}

}  // namespace oxu::station
