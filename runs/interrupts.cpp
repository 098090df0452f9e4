#include "runs/interrupts.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace oxu::runs {
namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_caught = 0;

void handleSignal(int signal) {
    const int savedErrno = errno;
    g_caught = signal;
    const char byte = static_cast<char>(signal);
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

void openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free number: this one, as the lower ones are open.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0)
            ::close(opened);
    }
}

bool installSignalWatch() {
    ::signal(SIGPIPE, SIG_IGN);
    if (g_pipe[0] >= 0)
        return true;
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return false;
    }
    struct sigaction action {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    return true;
}

std::unique_ptr<QSocketNotifier> watchSignals(std::function<void()> caught) {
    auto notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
    notifier->setEnabled(g_pipe[0] >= 0);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [caught = std::move(caught)] {
        drainSignalPipe();
        caught();
    });
    return notifier;
}

int signalPipeFd() {
    return g_pipe[0];
}

int caughtSignal() {
    return g_caught;
}

void drainSignalPipe() {
    char buffer[64];
    while (::read(g_pipe[0], buffer, sizeof buffer) > 0) {
    }
}

}  // namespace oxu::runs
