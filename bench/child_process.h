#pragma once

// A program the benchmark starts and watches: the simulated device, or the
// window program for its idle and memory figures. Standard output and error
// are captured through pipes; standard input is a pipe the benchmark can
// write commands to, or /dev/null.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace oxu::bench {

using Environment = std::vector<std::pair<std::string, std::string>>;

struct ChildResult {
    int exitCode = -1;      // the exit status; -1 when ended by a signal
    int signal = 0;         // the signal that ended it, 0 when it exited
    bool timedOut = false;  // it outlived the timeout and was killed
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

class ChildProcess {
public:
    enum class Input { Null, Pipe };

    // Starts program with args; env is added to this process's environment
    // (replacing variables of the same name). Throws std::runtime_error
    // naming the program when it cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const Environment& env = {}, Input input = Input::Null);
    // Kills (SIGKILL) and reaps the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    const std::string& program() const { return m_program; }

    // Collects output until standard output holds text, the program ended,
    // or timeout passed. True when the text appeared.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

    // The first complete line of standard output that starts with prefix
    // (without its newline), waiting up to timeout for it; nothing when none
    // came before the timeout or the program's end.
    std::optional<std::string> waitForLine(const std::string& prefix,
                                           std::chrono::milliseconds timeout);

    // The first line of standard output (without its newline), waiting up to
    // timeout for it; empty when none came.
    std::string firstLine(std::chrono::milliseconds timeout);

    // Writes text to the program's standard input (Input::Pipe only). False
    // when it could not be written whole.
    bool writeInput(const std::string& text);

    // Sends signal to the program if it still runs.
    void sendSignal(int signal);

    // Waits for the program to end, collecting its output. After timeout it
    // is killed and the result says so. Call once.
    ChildResult finish(std::chrono::milliseconds timeout);

    // Standard output and error collected so far.
    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }

private:
    // Collects output until done(output so far) holds, the program ended, or
    // timeout passed; returns done's last answer.
    bool waitUntil(const std::function<bool(const std::string&)>& done,
                   std::chrono::milliseconds timeout);
    // Reads what the pipes hold, waiting at most `wait` for something. True
    // once the program has been reaped.
    bool pump(std::chrono::milliseconds wait);

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

}  // namespace oxu::bench
