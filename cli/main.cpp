// oxu-update: the firmware update and the download command from a terminal
// or a script, on the same engine and serial code as the window.

#include <unistd.h>

#include <QCoreApplication>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/gang.h"
#include "cli/options.h"
#include "cli/port_check.h"
#include "cli/port_choice.h"
#include "runs/interrupts.h"

int main(int argc, char** argv) {
    using namespace oxu::cli;
    oxu::runs::openClosedStandardDescriptors();

    Options options;
    try {
        options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << kProgramName << ": " << error.what() << "\nTry '" << kProgramName
                  << " --help' for more information." << std::endl;
        return kExitUsage;
    }

    switch (options.mode) {
        case Mode::Help:
            std::cout << usageText();
            return kExitComplete;
        case Mode::Version:
            std::cout << kProgramName << ' ' << kVersionText << std::endl;
            return kExitComplete;
        default:
            break;
    }

    if (options.mode == Mode::DownloadCommand && !options.yes && ::isatty(STDIN_FILENO) != 1) {
        std::cerr << kProgramName
                  << ": --download-command asks for confirmation, but standard input is not a "
                     "terminal; add --yes to send it without asking"
                  << std::endl;
        return kExitUsage;
    }

    // Settled before any port opens: an image with something in it, and a
    // port the operator named or the only USB adapter there is.
    try {
        if (options.mode == Mode::Update)
            refuseEmptyImage(options.file);
        if (const auto chosen = chooseDefaultPort(options, oxu::runs::scanPortCandidates))
            std::cerr << *chosen << std::endl;
    } catch (const UsageError& error) {
        std::cerr << kProgramName << ": " << error.what() << std::endl;
        return kExitUsage;
    }

    if (!oxu::runs::installSignalWatch())
        std::cerr << kProgramName << ": warning: Ctrl-C will not close the port cleanly"
                  << std::endl;

    QCoreApplication app(argc, argv);
    switch (options.mode) {
        case Mode::Update:
            return runUpdate(options);
        case Mode::DownloadCommand:
            return runDownload(options);
        case Mode::ListPorts:
            return listPorts();
        case Mode::CheckPort:
            return checkPort(options);
        default:
            return kExitUsage;
    }
}
