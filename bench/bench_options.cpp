#include "bench/bench_options.h"

#include <QCommandLineParser>
#include <optional>

namespace oxu::bench {
namespace {

// Every option with its help text; values are looked up by name.
void addOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "Times firmware updates against the simulated device and prints a table, then one\n"
        "line of key=value pairs starting with \"bench:\". Ratios compare measurements taken\n"
        "in this one run; absolute times depend on the machine.");
    parser.addOptions({
        {{"h", "help"}, "Show this text."},
        {"runs", "Timed updates of each responder, interleaved (default 15).", "N"},
        {"pages", "Pages of the unpaced image, 1..255 (default 255).", "P"},
        {"paced-runs", "Timed updates of each on the paced line (default 5; 0 skips them).", "N"},
        {"paced-pages", "Pages of the paced image, 1..255 (default 32).", "K"},
        {"baud", "The paced line's rate (default 38400).", "B"},
        {"gang",
         "Devices updated at once by one oxu-update and by one oxu-station, 0..16 (default 16; "
         "0 skips them).",
         "N"},
        {"gang-runs", "Rounds of gang updates, each paced and unpaced (default 3).", "N"},
        {"idle-seconds", "How long the idle programs are watched (default 5).", "S"},
        {"no-warm-up", "Time from the first update on."},
        {"realtime",
         "Run the benchmark and what it starts under SCHED_FIFO, so that other work "
         "does not preempt it (needs root or CAP_SYS_NICE; else says so)."},
        {"quick",
         "1 run of 8 pages, 1 paced run of 2 pages, 1 s idle, no warm-up, one round of a "
         "2-device gang."},
        {"simulator", "The oxu-device-sim to use (default: the one built alongside).", "PATH"},
        {"updater", "The oxu-updater to use (default: likewise).", "PATH"},
        {"scripted-updater", "The oxu-updater-scripted to use (default: likewise).", "PATH"},
        {"cli-updater", "The oxu-update to use (default: likewise).", "PATH"},
        {"station", "The oxu-station to use (default: likewise).", "PATH"},
        {"scripted-station", "The oxu-station-scripted to use (default: likewise).", "PATH"},
    });
    for (const char* probe : {kTimerProbeOption, kIdleProbeOption}) {
        QCommandLineOption option(QString(probe).mid(2));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

}  // namespace

BenchOptions parseBenchOptions(const std::vector<std::string>& args, BenchOptions options) {
    QCommandLineParser parser;
    addOptions(parser);
    QStringList arguments{"oxu-bench"};
    for (const std::string& arg : args)
        arguments << QString::fromStdString(arg);
    if (!parser.parse(arguments)) {
        if (parser.unknownOptionNames().isEmpty())
            throw UsageError(parser.errorText().toStdString());
        const std::string name = parser.unknownOptionNames().front().toStdString();
        throw UsageError("unknown option \"" + std::string(name.size() == 1 ? "-" : "--") + name +
                         "\" (see --help)");
    }
    if (!parser.positionalArguments().isEmpty())
        throw UsageError("unexpected argument \"" +
                         parser.positionalArguments().front().toStdString() + "\" (see --help)");
    const auto count = [&parser](const char* name, long low, long high) -> std::optional<long> {
        if (!parser.isSet(name))
            return std::nullopt;
        const QString text = parser.value(name);
        bool ok = false;
        const long value = text.toLong(&ok);
        if (!ok || value < low || value > high)
            throw UsageError("--" + std::string(name) + " needs a whole number from " +
                             std::to_string(low) + " to " + std::to_string(high) + ", not \"" +
                             text.toStdString() + "\"");
        return value;
    };
    if (parser.isSet("quick")) {
        options.runs = 1;
        options.pages = 8;
        options.pacedRuns = 1;
        options.pacedPages = 2;
        options.idleSettle = std::chrono::milliseconds(500);
        options.idle = std::chrono::milliseconds(1000);
        options.warmUp = false;
        options.gangDevices = 2;
        options.gangRuns = 1;
    }
    options.runs = static_cast<int>(count("runs", 1, 1000).value_or(options.runs));
    options.pages = static_cast<int>(count("pages", 1, 255).value_or(options.pages));
    options.pacedRuns = static_cast<int>(count("paced-runs", 0, 1000).value_or(options.pacedRuns));
    options.pacedPages =
        static_cast<int>(count("paced-pages", 1, 255).value_or(options.pacedPages));
    options.baud = count("baud", 300, 4'000'000).value_or(options.baud);
    // oxu-update takes at most 16 ports.
    options.gangDevices = static_cast<int>(count("gang", 0, 16).value_or(options.gangDevices));
    options.gangRuns = static_cast<int>(count("gang-runs", 1, 1000).value_or(options.gangRuns));
    if (const auto seconds = count("idle-seconds", 0, 3600))
        options.idle = std::chrono::seconds(*seconds);
    for (auto [name, path] : {std::pair{"simulator", &options.simulator},
                              {"updater", &options.updater},
                              {"scripted-updater", &options.scriptedUpdater},
                              {"cli-updater", &options.cliUpdater},
                              {"station", &options.station},
                              {"scripted-station", &options.scriptedStation}}) {
        if (parser.isSet(name))
            *path = parser.value(name).toStdString();
    }
    options.warmUp = options.warmUp && !parser.isSet("no-warm-up");
    options.realtime = options.realtime || parser.isSet("realtime");
    options.help = options.help || parser.isSet("help");
    if (parser.isSet(QString(kTimerProbeOption).mid(2)))
        options.probe = Probe::Timer;
    else if (parser.isSet(QString(kIdleProbeOption).mid(2)))
        options.probe = Probe::Idle;
    return options;
}

std::string benchUsage() {
    QCommandLineParser parser;
    addOptions(parser);
    QString text = parser.helpText();
    // Qt names the program by the path it was started with; the name reads better.
    text.replace(0, text.indexOf('\n'), "Usage: oxu-bench [options]");
    return text.toStdString() +
           "\nExit codes: 0 every measurement completed; 1 some did not (each failure is\n"
           "reported on standard error); 2 bad usage.\n";
}

}  // namespace oxu::bench
