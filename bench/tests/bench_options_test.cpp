#include "bench/bench_options.h"

#include <gtest/gtest.h>

namespace oxu::bench {
namespace {

BenchOptions parse(std::vector<std::string> args) {
    return parseBenchOptions(args, BenchOptions{});
}

TEST(BenchOptions, KeepsDefaultsAndPathsWhenGivenNothing) {
    BenchOptions defaults;
    defaults.simulator = "/opt/sim";
    const BenchOptions options = parseBenchOptions({}, defaults);
    EXPECT_EQ(options.runs, 15);
    EXPECT_EQ(options.pages, 255);
    EXPECT_EQ(options.pacedPages, 32);
    EXPECT_EQ(options.baud, 38400);
    EXPECT_EQ(options.simulator, "/opt/sim");
    EXPECT_TRUE(options.warmUp);
    EXPECT_EQ(options.gangDevices, 16);
    EXPECT_EQ(options.gangRuns, 3);
}

TEST(BenchOptions, QuickIsShortAndLaterOptionsStillApply) {
    const BenchOptions quick = parse({"--quick"});
    EXPECT_EQ(quick.runs, 1);
    EXPECT_EQ(quick.pages, 8);
    EXPECT_EQ(quick.pacedRuns, 1);
    EXPECT_FALSE(quick.warmUp);
    EXPECT_EQ(quick.gangDevices, 2);
    EXPECT_EQ(quick.gangRuns, 1);
    const BenchOptions more =
        parse({"--quick", "--runs", "3", "--pages", "255", "--gang", "16", "--gang-runs", "2"});
    EXPECT_EQ(more.runs, 3);
    EXPECT_EQ(more.pages, 255);
    EXPECT_EQ(more.gangDevices, 16);
    EXPECT_EQ(more.gangRuns, 2);
}

TEST(BenchOptions, ReadsEveryValue) {
    const BenchOptions options =
        parse({"--runs",        "7",    "--paced-runs",   "0",          "--paced-pages", "4",
               "--baud",        "9600", "--idle-seconds", "2",          "--simulator",   "s",
               "--updater",     "u",    "--no-warm-up",   "--realtime", "--gang",        "0",
               "--cli-updater", "c"});
    EXPECT_EQ(options.runs, 7);
    EXPECT_EQ(options.pacedRuns, 0);
    EXPECT_EQ(options.pacedPages, 4);
    EXPECT_EQ(options.baud, 9600);
    EXPECT_EQ(options.idle, std::chrono::seconds(2));
    EXPECT_EQ(options.simulator, "s");
    EXPECT_EQ(options.updater, "u");
    EXPECT_EQ(options.gangDevices, 0);
    EXPECT_EQ(options.cliUpdater, "c");
    EXPECT_FALSE(options.warmUp);
    EXPECT_TRUE(options.realtime);
    const BenchOptions station = parse({"--station", "st", "--scripted-station", "ss"});
    EXPECT_EQ(station.station, "st");
    EXPECT_EQ(station.scriptedStation, "ss");
}

TEST(BenchOptions, RefusesBadArgumentsNamingTheOption) {
    const std::vector<std::vector<std::string>> bad = {
        {"--runs"},
        {"--runs", "0"},
        {"--runs", "x"},
        {"--runs", "3x"},
        {"--pages", "256"},
        {"--paced-pages", "0"},
        {"--baud", "-1"},
        {"--gang", "17"},
        {"--gang-runs", "0"},
        {"--idle-seconds", ""},
        {"--verbose"},
        {"--runs", "99999999999999999999"},
        {"-x"},
        {"extra"},
    };
    for (const auto& args : bad) {
        try {
            parse(args);
            ADD_FAILURE() << "accepted " << args.front();
        } catch (const UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(args.front()), std::string::npos)
                << error.what();
        }
    }
}

TEST(BenchOptions, ReadsTheHiddenProbeModesAndKeepsThemOutOfTheHelp) {
    EXPECT_EQ(parse({}).probe, Probe::None);
    EXPECT_EQ(parse({kTimerProbeOption}).probe, Probe::Timer);
    EXPECT_EQ(parse({kIdleProbeOption}).probe, Probe::Idle);
    const std::string help = benchUsage();
    EXPECT_EQ(help.find("probe"), std::string::npos) << help;
    for (const char* option : {"--runs", "--quick", "--realtime", "--scripted-updater",
                               "--scripted-station", "Exit codes"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace oxu::bench
