#include "kit/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

extern char** environ;

namespace oxu::kit {
namespace {

using Clock = std::chrono::steady_clock;

// While waiting for a program to exit, look again this often: its pipes may
// stay open in a grandchild, so end of output alone does not mean it ended.
constexpr std::chrono::milliseconds kPollStep{20};

std::vector<std::string> mergeEnvironment(const Environment& extra) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : extra)
        variables[name] = value;
    std::vector<std::string> merged;
    for (const auto& [name, value] : variables)
        merged.push_back(name + "=" + value);
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

void closeIfOpen(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string describeStartFailure(const std::string& program, const std::string& step, int error) {
    return "Cannot start " + program + ": " + step + " failed (" + std::strerror(error) + ")";
}

// Read and write, so that a pty opened here is usable both ways by the
// program; never as this process's controlling terminal.
int openInput(const std::string& program, const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(describeStartFailure(program, "opening " + path, errno));
    return fd;
}

bool hasLineStartingWith(const std::string& text, const std::string& prefix,
                         std::optional<std::string>& line) {
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false;
        if (text.compare(start, prefix.size(), prefix) == 0) {
            line = text.substr(start, end - start);
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Environment& env, const std::string& stdinPath)
    : m_program(program) {
    start(args, env, openInput(program, stdinPath));
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Environment& env, Input input)
    : m_program(program) {
    if (input == Input::Null) {
        start(args, env, openInput(program, "/dev/null"));
        return;
    }
    int inPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0)
        throw std::runtime_error(describeStartFailure(program, "pipe", errno));
    m_inFd = inPipe[1];
    start(args, env, inPipe[0]);
}

void ChildProcess::start(const std::vector<std::string>& args, const Environment& env,
                         int inputFd) {
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    // A constructor that throws runs no destructor: close everything here.
    const auto fail = [&](const char* step) {
        const int error = errno;
        for (int* fd : {&inputFd, &m_inFd, &outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]})
            closeIfOpen(*fd);
        throw std::runtime_error(describeStartFailure(m_program, step, error));
    };
    std::vector<std::string> argvTexts{m_program};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = mergeEnvironment(env);
    std::vector<char*> argv = pointersTo(argvTexts);
    std::vector<char*> envp = pointersTo(envTexts);
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        fail("pipe");

    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(inputFd, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execve(m_program.c_str(), argv.data(), envp.data());
        const char message[] = "exec failed\n";
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(127);
    }
    if (m_pid < 0)
        fail("fork");
    closeIfOpen(inputFd);
    closeIfOpen(outPipe[1]);
    closeIfOpen(errPipe[1]);
    m_outFd = outPipe[0];
    m_errFd = errPipe[0];
    ::fcntl(m_outFd, F_SETFL, O_NONBLOCK);
    ::fcntl(m_errFd, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (!m_reaped && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
    }
    closeIfOpen(m_inFd);
    closeIfOpen(m_outFd);
    closeIfOpen(m_errFd);
}

void ChildProcess::drainPipes() {
    char buffer[4096];
    for (auto [fd, sink] : {std::pair{&m_outFd, &m_out}, std::pair{&m_errFd, &m_err}}) {
        while (*fd >= 0) {
            const ssize_t got = ::read(*fd, buffer, sizeof buffer);
            if (got > 0) {
                sink->append(buffer, static_cast<std::size_t>(got));
            } else if (got == 0) {
                ::close(*fd);
                *fd = -1;
            } else {
                if (errno == EINTR)
                    continue;
                break;
            }
        }
    }
}

bool ChildProcess::pump(std::chrono::milliseconds wait) {
    if (m_reaped)
        return true;
    pollfd fds[2];
    nfds_t count = 0;
    for (int fd : {m_outFd, m_errFd}) {
        if (fd >= 0)
            fds[count++] = pollfd{fd, POLLIN, 0};
    }
    // Callers pass what is left of a deadline, which may have passed since
    // they looked: never negative, which poll() takes as "no limit".
    const int waitMs =
        static_cast<int>(std::clamp(wait, std::chrono::milliseconds(0), kPollStep).count());
    if (count > 0)
        ::poll(fds, count, waitMs);
    else
        ::usleep(static_cast<useconds_t>(waitMs) * 1000);
    drainPipes();
    if (::waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
        m_reaped = true;
        // Whatever it wrote before exiting is in the pipes by now.
        drainPipes();
    }
    return m_reaped;
}

bool ChildProcess::waitUntil(Stream stream, const std::function<bool(const std::string&)>& done,
                             std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done(output(stream)))
            return true;
        if (m_reaped || Clock::now() >= deadline)
            return false;
        pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    }
}

bool ChildProcess::waitForOutput(Stream stream, const std::string& text,
                                 std::chrono::milliseconds timeout) {
    return waitUntil(
        stream, [&](const std::string& soFar) { return soFar.find(text) != std::string::npos; },
        timeout);
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& prefix,
                                                     std::chrono::milliseconds timeout) {
    std::optional<std::string> line;
    waitUntil(
        Stream::Out,
        [&](const std::string& soFar) { return hasLineStartingWith(soFar, prefix, line); },
        timeout);
    return line;
}

std::string ChildProcess::firstLine(std::chrono::milliseconds timeout) {
    if (!waitForOutput(Stream::Out, "\n", timeout))
        return {};
    return m_out.substr(0, m_out.find('\n'));
}

bool ChildProcess::writeInput(const std::string& text) {
    if (m_inFd < 0)
        return false;
    // A program that no longer reads its input must not end this process with
    // SIGPIPE (neither the tests nor the benchmark ignore it): block it while
    // writing and take back the one this write raised, if any.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    std::size_t written = 0;
    bool brokenPipe = false;
    while (written < text.size()) {
        const ssize_t wrote = ::write(m_inFd, text.data() + written, text.size() - written);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            brokenPipe = wrote < 0 && errno == EPIPE;
            break;
        }
        written += static_cast<std::size_t>(wrote);
    }
    if (brokenPipe && !wasPending) {
        const timespec noWait{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return written == text.size();
}

void ChildProcess::sendSignal(int signal) {
    if (!m_reaped && m_pid > 0)
        ::kill(m_pid, signal);
}

ProgramResult ChildProcess::finish(std::chrono::milliseconds timeout) {
    // End of input is what ends a program that reads it to the end.
    closeIfOpen(m_inFd);
    ProgramResult result;
    const auto deadline = Clock::now() + timeout;
    while (!m_reaped && Clock::now() < deadline)
        pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!m_reaped) {
        result.timedOut = true;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
        m_reaped = true;
        drainPipes();
    }
    if (WIFEXITED(m_status))
        result.exitCode = WEXITSTATUS(m_status);
    else if (WIFSIGNALED(m_status))
        result.signal = WTERMSIG(m_status);
    result.out = m_out;
    result.err = m_err;
    return result;
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const Environment& env, std::chrono::milliseconds timeout) {
    ChildProcess child(program, args, env);
    return child.finish(timeout);
}

}  // namespace oxu::kit
