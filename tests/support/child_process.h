#pragma once

// A program run by an end-to-end test: started with its own arguments and
// extra environment, standard input from /dev/null unless told otherwise (so
// it sees no terminal), standard output and error captured through pipes.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace oxu::test {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct ProgramResult {
    int exitCode = -1;      // the exit status; -1 when ended by a signal
    int signal = 0;         // the signal that ended it, 0 when it exited
    bool timedOut = false;  // it outlived the timeout and was killed
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

class ChildProcess {
public:
    enum class Stream { Out, Err };

    // Starts program with args; env is added to this process's environment
    // (replacing variables of the same name); standard input is read from
    // stdinPath (a pty's path makes it a terminal). Throws std::runtime_error
    // when the program cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const Environment& env = {}, const std::string& stdinPath = "/dev/null");
    // Kills (SIGKILL) and reaps the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // Collects output until text has appeared in stream, the program ended,
    // or timeout passed. True when the text appeared.
    bool waitForOutput(Stream stream, const std::string& text, std::chrono::milliseconds timeout);

    // The first line of standard output (without its newline), waiting up to
    // timeout for it; empty when none came.
    std::string firstLine(std::chrono::milliseconds timeout);

    void sendSignal(int signal);

    // Waits for the program to end, collecting its output. After timeout it
    // is killed and the result says so. Can be called once.
    ProgramResult finish(std::chrono::milliseconds timeout);

    // What has been collected so far.
    const std::string& output(Stream stream) const { return stream == Stream::Out ? m_out : m_err; }

private:
    // Reads what the pipes hold, waiting at most `wait` for something. True
    // once the program has been reaped.
    bool pump(std::chrono::milliseconds wait);
    void drainPipes();

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
    bool m_reaped = false;
    int m_status = 0;
};

// Runs program to its end (or kills it after timeout) and returns what it said.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const Environment& env = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace oxu::test
