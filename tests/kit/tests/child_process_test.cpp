#include "kit/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <stdexcept>

#include "tests/kit/pty_pair.h"

namespace oxu::kit {
namespace {

using std::chrono::milliseconds;
using Stream = ChildProcess::Stream;
using testkit::PtyPair;

constexpr milliseconds kPlenty{10000};

TEST(ChildProcess, GivesTheFirstLineAllOutputAndTheExitCode) {
    ChildProcess program("/bin/sh", {"-c", "echo first; echo second; echo oops >&2; exit 3"});
    EXPECT_EQ(program.firstLine(kPlenty), "first");
    const ProgramResult result = program.finish(kPlenty);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.out, "first\nsecond\n");
    EXPECT_EQ(result.err, "oops\n");
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(program.program(), "/bin/sh");
}

TEST(ChildProcess, AddsToTheEnvironment) {
    ChildProcess program("/bin/sh", {"-c", "echo \"$OXU_BENCH_PROBE\""},
                         {{"OXU_BENCH_PROBE", "value with blanks"}});
    EXPECT_EQ(program.finish(kPlenty).out, "value with blanks\n");
}

TEST(ChildProcess, FeedsStandardInputThroughThePipe) {
    ChildProcess program("/bin/cat", {}, {}, ChildProcess::Input::Pipe);
    EXPECT_TRUE(program.writeInput("file /tmp/x.bin\nclick Command2\n"));
    EXPECT_TRUE(program.waitForOutput(Stream::Out, "Command2", kPlenty));
    // finish() closes the input, which ends cat.
    const ProgramResult result = program.finish(kPlenty);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "file /tmp/x.bin\nclick Command2\n");
    EXPECT_FALSE(program.writeInput("after the end"));
}

TEST(ChildProcess, WithoutAPipeStandardInputIsEmpty) {
    ChildProcess byDefault("/bin/cat", {});
    EXPECT_FALSE(byDefault.writeInput("ignored"));
    EXPECT_EQ(byDefault.finish(kPlenty).out, "");
    ChildProcess null("/bin/cat", {}, {}, ChildProcess::Input::Null);
    EXPECT_FALSE(null.writeInput("ignored"));
    EXPECT_EQ(null.finish(kPlenty).out, "");
}

// Writing to a program that has stopped reading must fail, not end the test
// (or the benchmark) with SIGPIPE.
TEST(ChildProcess, WritingToAProgramThatNoLongerReadsFailsQuietly) {
    ChildProcess program("/bin/sh", {"-c", "exit 4"}, {}, ChildProcess::Input::Pipe);
    EXPECT_FALSE(program.waitForOutput(Stream::Out, "never said", kPlenty));
    EXPECT_FALSE(program.writeInput("nobody reads this\n"));
    EXPECT_FALSE(program.writeInput("nor this\n"));
    EXPECT_EQ(program.finish(kPlenty).exitCode, 4);
}

TEST(ChildProcess, StandardInputIsATerminalOnlyWhenGivenOne) {
    PtyPair terminal;
    struct Case {
        const char* name;
        std::optional<std::string> path;  // none: the Input::Null constructor
        const char* says;
    };
    const Case cases[] = {
        {"default", "/dev/null", "not a terminal\n"},
        {"Input::Null", std::nullopt, "not a terminal\n"},
        {"pty", terminal.path(), "terminal\n"},
    };
    const std::vector<std::string> args{"-c",
                                        "if [ -t 0 ]; then echo terminal; "
                                        "else echo not a terminal; fi"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChildProcess program = c.path
                                   ? ChildProcess("/bin/sh", args, {}, *c.path)
                                   : ChildProcess("/bin/sh", args, {}, ChildProcess::Input::Null);
        EXPECT_EQ(program.finish(kPlenty).out, c.says);
    }
}

TEST(ChildProcess, KillsAProgramThatOutlivesTheTimeout) {
    ChildProcess program("/bin/sh", {"-c", "sleep 30"});
    const ProgramResult result = program.finish(milliseconds(200));
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(result.exitCode, -1);
}

TEST(ChildProcess, ReportsAProgramThatEndsBySignal) {
    ChildProcess program("/bin/sh", {"-c", "kill -TERM $$; sleep 30"});
    const ProgramResult result = program.finish(kPlenty);
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_FALSE(result.timedOut);
}

TEST(ChildProcess, DoesNotWaitForLinesOrTextThatNeverCome) {
    ChildProcess silent("/bin/true", {});
    EXPECT_EQ(silent.firstLine(kPlenty), "");
    ChildProcess talker("/bin/echo", {"something else"});
    EXPECT_FALSE(talker.waitForOutput(Stream::Out, "Transfert Complete", kPlenty));
    EXPECT_FALSE(talker.waitForLine("Transfert", kPlenty));
}

TEST(ChildProcess, WaitsForTextOnTheStreamAskedFor) {
    ChildProcess program("/bin/sh", {"-c", "echo 'Connection Failed' >&2; sleep 30"});
    EXPECT_TRUE(program.waitForOutput(Stream::Err, "Connection Failed", kPlenty));
    EXPECT_FALSE(program.waitForOutput(Stream::Out, "Connection Failed", milliseconds(100)));
    EXPECT_EQ(program.output(Stream::Out), "");
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
    const ProgramResult result = program.finish(kPlenty);
    EXPECT_EQ(result.exitCode, 127);
    EXPECT_NE(result.err.find("exec failed"), std::string::npos);
}

TEST(ChildProcess, AnInputThatCannotBeOpenedNamesTheProgramAndThePath) {
    try {
        ChildProcess program("/bin/cat", {}, {}, "/nonexistent/pts/9");
        FAIL() << "started without its input";
    } catch (const std::runtime_error& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("/bin/cat"), std::string::npos) << message;
        EXPECT_NE(message.find("/nonexistent/pts/9"), std::string::npos) << message;
    }
}

TEST(RunProgram, ReturnsWhatTheProgramSaidAndHowItEnded) {
    const ProgramResult result = runProgram("/bin/sh", {"-c", "echo \"$OXU_PROBE\"; exit 2"},
                                            {{"OXU_PROBE", "probe"}}, kPlenty);
    EXPECT_EQ(result.out, "probe\n");
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(runProgram("/bin/sh", {"-c", "sleep 30"}, {}, milliseconds(100)).timedOut, true);
}

}  // namespace
}  // namespace oxu::kit
