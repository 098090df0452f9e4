#pragma once

// A program run by a test or by the benchmark: started with its own arguments
// and extra environment, standard output and error captured through pipes.
// Standard input is /dev/null unless told otherwise (so it sees no terminal):
// a path to open (a pty's path makes it a terminal), or a pipe to write to.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oxu::kit {

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
    // Standard input without a path: nothing (/dev/null), or a pipe fed
    // through writeInput().
    enum class Input { Null, Pipe };

    // Starts program with args; env is added to this process's environment
    // (replacing variables of the same name); standard input is read from
    // stdinPath (a pty's path makes it a terminal). Throws std::runtime_error
    // naming the program and the failed step when it cannot be started; a
    // program that cannot be executed ends with status 127 instead.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const Environment& env = {}, const std::string& stdinPath = "/dev/null");
    // The same with standard input from /dev/null (Input::Null) or from a
    // pipe this object writes to (Input::Pipe).
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const Environment& env, Input input);
    // Kills (SIGKILL) and reaps the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // The program as given to the constructor.
    const std::string& program() const { return m_program; }

    // Collects output until text has appeared in stream, the program ended,
    // or timeout passed. True when the text appeared.
    bool waitForOutput(Stream stream, const std::string& text, std::chrono::milliseconds timeout);

    // The first complete line of standard output that starts with prefix
    // (without its newline), waiting up to timeout for it; nothing when none
    // came before the timeout or the program's end.
    std::optional<std::string> waitForLine(const std::string& prefix,
                                           std::chrono::milliseconds timeout);

    // The first line of standard output (without its newline), waiting up to
    // timeout for it; empty when none came.
    std::string firstLine(std::chrono::milliseconds timeout);

    // Writes text to the program's standard input (Input::Pipe only), blocking
    // until the pipe took it all. False when it could not be written whole:
    // no pipe, input already closed, or the program no longer reads it (this
    // process is not killed by SIGPIPE then).
    bool writeInput(const std::string& text);

    // Sends signal to the program if it still runs.
    void sendSignal(int signal);

    // Closes the input pipe, if any, and waits for the program to end,
    // collecting its output. After timeout it is killed and the result says
    // so. Can be called once.
    ProgramResult finish(std::chrono::milliseconds timeout);

    // What has been collected so far.
    const std::string& output(Stream stream) const { return stream == Stream::Out ? m_out : m_err; }

private:
    // Forks and executes the program with standard input from inputFd, which
    // it closes in every case.
    void start(const std::vector<std::string>& args, const Environment& env, int inputFd);
    // Collects output until done(what stream holds) is true, the program
    // ended, or timeout passed; returns done's last answer.
    bool waitUntil(Stream stream, const std::function<bool(const std::string&)>& done,
                   std::chrono::milliseconds timeout);
    // Reads what the pipes hold, waiting at most `wait` for something. True
    // once the program has been reaped.
    bool pump(std::chrono::milliseconds wait);
    void drainPipes();

    std::string m_program;
    pid_t m_pid = -1;
    int m_inFd = -1;
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

}  // namespace oxu::kit
