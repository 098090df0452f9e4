#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace oxu::test {
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

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Environment& env, const std::string& stdinPath) {
    std::vector<std::string> argvTexts{program};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = mergeEnvironment(env);
    std::vector<char*> argv = pointersTo(argvTexts);
    std::vector<char*> envp = pointersTo(envTexts);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const int input = ::open(stdinPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (input < 0) {
        const int openErrno = errno;
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            ::close(fd);
        throw std::runtime_error("open " + stdinPath + ": " + std::strerror(openErrno));
    }

    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(input, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        const char message[] = "exec failed\n";
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(127);
    }
    const int forkErrno = errno;
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(input);
    if (m_pid < 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(forkErrno));
    }
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
    if (m_outFd >= 0)
        ::close(m_outFd);
    if (m_errFd >= 0)
        ::close(m_errFd);
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
    const int waitMs = static_cast<int>(std::min(wait, kPollStep).count());
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

bool ChildProcess::waitForOutput(Stream stream, const std::string& text,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (output(stream).find(text) != std::string::npos)
            return true;
        if (m_reaped || Clock::now() >= deadline)
            return false;
        pump(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    }
}

std::string ChildProcess::firstLine(std::chrono::milliseconds timeout) {
    if (!waitForOutput(Stream::Out, "\n", timeout))
        return {};
    return m_out.substr(0, m_out.find('\n'));
}

void ChildProcess::sendSignal(int signal) {
    if (!m_reaped && m_pid > 0)
        ::kill(m_pid, signal);
}

ProgramResult ChildProcess::finish(std::chrono::milliseconds timeout) {
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

}  // namespace oxu::test
