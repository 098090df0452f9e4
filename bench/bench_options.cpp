#include "bench/bench_options.h"

#include <QCommandLineParser>
#include <cerrno>
#include <cstdlib>

namespace oxu::bench {
namespace {

// Every option with its help text; values are looked up by name.
void addOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "Times firmware updates against the simulated device and prints a table, then\n"
        "one line of key=value pairs starting with \"bench:\". Ratios compare\n"
        "measurements taken in this one run; absolute times depend on the machine.");
    parser.addOptions({
        {{"h", "help"}, "Show this text."},
        {"runs", "Timed updates of each responder, interleaved (default 15).", "N"},
        {"pages", "Pages of the unpaced image, 1..255 (default 255).", "P"},
        {"paced-runs",
         "Timed updates of each responder on the paced line (default 5; 0 skips the paced rows).",
         "N"},
        {"paced-pages", "Pages of the paced image, 1..255 (default 32).", "K"},
        {"baud", "The paced line's rate (default 38400).", "B"},
        {"idle-seconds", "How long the idle programs are watched (default 5).", "S"},
        {"no-warm-up", "Time from the first update on."},
        {"realtime",
         "Run the benchmark and what it starts under SCHED_FIFO, so that other work on a shared "
         "machine does not preempt it (needs root or CAP_SYS_NICE; falls back to normal "
         "scheduling, and says so)."},
        {"quick",
         "1 run of 8 pages, 1 paced run of 2 pages, 1 s idle, no warm-up; the other options "
         "given still apply."},
        {"simulator", "oxu-device-sim to use (default: the one built alongside).", "PATH"},
        {"updater", "oxu-updater to use (default: the one built alongside).", "PATH"},
        {"scripted-updater", "oxu-updater-scripted to use (default: likewise).", "PATH"},
    });
    for (const char* probe : {kTimerProbeOption, kIdleProbeOption}) {
        QCommandLineOption option(QString(probe).mid(2));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

long parseCount(const std::string& option, const std::string& text, long low, long high) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || end != text.c_str() + text.size() || value < low ||
        value > high)
        throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\"");
    return value;
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

    const auto count = [&parser](const char* name, long low, long high, auto& into) {
        if (parser.isSet(name))
            into =
                parseCount(std::string("--") + name, parser.value(name).toStdString(), low, high);
    };
    const auto path = [&parser](const char* name, std::string& into) {
        if (parser.isSet(name))
            into = parser.value(name).toStdString();
    };
    if (parser.isSet("quick")) {
        options.quick = true;
        options.runs = 1;
        options.pages = 8;
        options.pacedRuns = 1;
        options.pacedPages = 2;
        options.idleSettle = std::chrono::milliseconds(500);
        options.idle = std::chrono::milliseconds(1000);
        options.warmUp = false;
    }
    count("runs", 1, 1000, options.runs);
    count("pages", 1, 255, options.pages);
    count("paced-runs", 0, 1000, options.pacedRuns);
    count("paced-pages", 1, 255, options.pacedPages);
    count("baud", 300, 4'000'000, options.baud);
    long idleSeconds = -1;
    count("idle-seconds", 0, 3600, idleSeconds);
    if (idleSeconds >= 0)
        options.idle = std::chrono::seconds(idleSeconds);
    path("simulator", options.simulator);
    path("updater", options.updater);
    path("scripted-updater", options.scriptedUpdater);
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
