#include "bench/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace oxu::bench {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPlenty{10000};

TEST(ChildProcess, GivesTheFirstLineAllOutputAndTheExitCode) {
    ChildProcess program("/bin/sh", {"-c", "echo first; echo second; echo oops >&2; exit 3"});
    EXPECT_EQ(program.firstLine(kPlenty), "first");
    const ChildResult result = program.finish(kPlenty);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.out, "first\nsecond\n");
    EXPECT_EQ(result.err, "oops\n");
    EXPECT_FALSE(result.timedOut);
}

TEST(ChildProcess, AddsToTheEnvironment) {
    ChildProcess program("/bin/sh", {"-c", "echo \"$OXU_BENCH_PROBE\""},
                         {{"OXU_BENCH_PROBE", "value with blanks"}});
    EXPECT_EQ(program.finish(kPlenty).out, "value with blanks\n");
}

TEST(ChildProcess, FeedsStandardInputThroughThePipe) {
    ChildProcess program("/bin/cat", {}, {}, ChildProcess::Input::Pipe);
    EXPECT_TRUE(program.writeInput("file /tmp/x.bin\nclick Command2\n"));
    EXPECT_TRUE(program.waitForOutput("Command2", kPlenty));
    // finish() closes the input, which ends cat.
    const ChildResult result = program.finish(kPlenty);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "file /tmp/x.bin\nclick Command2\n");
}

TEST(ChildProcess, WithoutAPipeStandardInputIsEmpty) {
    ChildProcess program("/bin/cat", {});
    EXPECT_FALSE(program.writeInput("ignored"));
    EXPECT_EQ(program.finish(kPlenty).out, "");
}

TEST(ChildProcess, KillsAProgramThatOutlivesTheTimeout) {
    ChildProcess program("/bin/sh", {"-c", "sleep 30"});
    const ChildResult result = program.finish(milliseconds(200));
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(result.exitCode, -1);
}

TEST(ChildProcess, ReportsAProgramThatEndsBySignal) {
    ChildProcess program("/bin/sh", {"-c", "kill -TERM $$; sleep 30"});
    const ChildResult result = program.finish(kPlenty);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_FALSE(result.timedOut);
}

TEST(ChildProcess, DoesNotWaitForLinesOrTextThatNeverCome) {
    ChildProcess silent("/bin/true", {});
    EXPECT_EQ(silent.firstLine(kPlenty), "");
    ChildProcess talker("/bin/echo", {"something else"});
    EXPECT_FALSE(talker.waitForOutput("Transfert Complete", kPlenty));
}

TEST(ChildProcess, WaitsForACompleteLineWithThePrefix) {
    ChildProcess program("/bin/sh", {"-c",
                                     "echo 'no box here'; printf 'box warning x|Lost'; "
                                     "sleep 0.2; echo ' it'; echo 'box information y|Done'"});
    EXPECT_EQ(program.waitForLine("box ", kPlenty), "box warning x|Lost it");
    EXPECT_FALSE(program.waitForLine("verdict:", kPlenty));
}

TEST(ChildProcess, AMissingProgramFailsWithStatus127) {
    ChildProcess program("/nonexistent/oxu-device-sim", {});
    const ChildResult result = program.finish(kPlenty);
    EXPECT_EQ(result.exitCode, 127);
    EXPECT_NE(result.err.find("exec failed"), std::string::npos);
}

}  // namespace
}  // namespace oxu::bench
