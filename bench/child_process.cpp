#include "bench/child_process.h"

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

namespace oxu::bench {
namespace {

using SteadyTime = std::chrono::steady_clock;

// While waiting for a program to end, look again this often: its pipes may
// stay open in a grandchild, so the end of output alone does not mean it ended.
constexpr std::chrono::milliseconds kReapStep{20};

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

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const Environment& env, Input input)
    : m_program(program) {
    std::vector<std::string> argvTexts{program};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = mergeEnvironment(env);
    std::vector<char*> argv = pointersTo(argvTexts);
    std::vector<char*> envp = pointersTo(envTexts);

    int inPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    const auto failWith = [&](const std::string& step) {
        const int error = errno;
        for (int* pair : {inPipe, outPipe, errPipe}) {
            closeIfOpen(pair[0]);
            closeIfOpen(pair[1]);
        }
        throw std::runtime_error("Cannot start " + program + ": " + step + " failed (" +
                                 std::strerror(error) + ")");
    };
    if (input == Input::Pipe) {
        if (::pipe2(inPipe, O_CLOEXEC) != 0)
            failWith("pipe");
    } else {
        inPipe[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (inPipe[0] < 0)
            failWith("opening /dev/null");
    }
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        failWith("pipe");

    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(inPipe[0], STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        const char message[] = "exec failed\n";
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
        ::_exit(127);
    }
    if (m_pid < 0)
        failWith("fork");
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    m_inFd = inPipe[1];
    m_outFd = outPipe[0];
    m_errFd = errPipe[0];
}

ChildProcess::~ChildProcess() {
    if (!m_reaped && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    closeIfOpen(m_inFd);
    closeIfOpen(m_outFd);
    closeIfOpen(m_errFd);
}

bool ChildProcess::pump(std::chrono::milliseconds wait) {
    pollfd watched[2];
    nfds_t count = 0;
    for (int fd : {m_outFd, m_errFd}) {
        if (fd >= 0)
            watched[count++] = pollfd{fd, POLLIN, 0};
    }
    if (count == 0) {
        // Nothing left to read: only the exit is awaited.
        if (!m_reaped && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_reaped = true;
        if (!m_reaped)
            ::usleep(static_cast<useconds_t>(std::min(wait, kReapStep).count() * 1000));
    } else if (::poll(watched, count, static_cast<int>(std::min(wait, kReapStep).count())) > 0) {
        for (nfds_t i = 0; i < count; ++i) {
            if (watched[i].revents == 0)
                continue;
            char chunk[4096];
            const ssize_t got = ::read(watched[i].fd, chunk, sizeof chunk);
            const bool isOut = watched[i].fd == m_outFd;
            if (got > 0)
                (isOut ? m_out : m_err).append(chunk, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                closeIfOpen(isOut ? m_outFd : m_errFd);
        }
    }
    if (!m_reaped && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
        m_reaped = true;
    return m_reaped;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return waitUntil([&](const std::string& out) { return out.find(text) != std::string::npos; },
                     timeout);
}

std::optional<std::string> ChildProcess::waitForLine(const std::string& prefix,
                                                     std::chrono::milliseconds timeout) {
    std::optional<std::string> found;
    waitUntil(
        [&](const std::string& out) {
            for (std::size_t start = 0; start < out.size();) {
                const std::size_t end = out.find('\n', start);
                if (end == std::string::npos)
                    break;
                if (out.compare(start, prefix.size(), prefix) == 0) {
                    found = out.substr(start, end - start);
                    return true;
                }
                start = end + 1;
            }
            return false;
        },
        timeout);
    return found;
}

bool ChildProcess::waitUntil(const std::function<bool(const std::string&)>& done,
                             std::chrono::milliseconds timeout) {
    const auto deadline = SteadyTime::now() + timeout;
    while (!done(m_out)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyTime::now());
        if (left.count() <= 0)
            return false;
        const bool ended = pump(left);
        if (ended && m_outFd < 0)
            return done(m_out);
    }
    return true;
}

std::string ChildProcess::firstLine(std::chrono::milliseconds timeout) {
    if (!waitForOutput("\n", timeout))
        return {};
    return m_out.substr(0, m_out.find('\n'));
}

bool ChildProcess::writeInput(const std::string& text) {
    std::size_t done = 0;
    while (m_inFd >= 0 && done < text.size()) {
        const ssize_t wrote = ::write(m_inFd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<std::size_t>(wrote);
    }
    return done == text.size();
}

void ChildProcess::sendSignal(int signal) {
    if (!m_reaped && m_pid > 0)
        ::kill(m_pid, signal);
}

ChildResult ChildProcess::finish(std::chrono::milliseconds timeout) {
    closeIfOpen(m_inFd);
    ChildResult result;
    const auto deadline = SteadyTime::now() + timeout;
    while (!m_reaped || m_outFd >= 0 || m_errFd >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyTime::now());
        if (left.count() <= 0) {
            if (!m_reaped) {
                result.timedOut = true;
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &m_status, 0);
                m_reaped = true;
            }
            break;
        }
        pump(left);
    }
    if (WIFEXITED(m_status))
        result.exitCode = WEXITSTATUS(m_status);
    else if (WIFSIGNALED(m_status))
        result.signal = WTERMSIG(m_status);
    result.out = m_out;
    result.err = m_err;
    return result;
}

}  // namespace oxu::bench
