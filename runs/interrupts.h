#pragma once

// What ends a run from outside: SIGINT, SIGTERM and SIGHUP, turned into
// something the event loop can wait on. The handler only writes the signal
// number into a pipe (async-signal-safe), and the loop reads it like any
// other input. A closed terminal or a dropped SSH session (SIGHUP) ends a run
// as Ctrl-C does.

#include <QSocketNotifier>
#include <functional>
#include <memory>

namespace oxu::runs {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no pipe or file made later takes its number: a message meant for standard
// error must never land in the signal pipe or the audit log. Call it first.
void openClosedStandardDescriptors();

// Installs the handlers for SIGINT, SIGTERM and SIGHUP, once per process. Reads and
// waits on stdin are interrupted by them (no SA_RESTART). Returns false when
// the pipe cannot be made; the default handlers then stay. SIGPIPE is
// ignored either way: a closed pipe on standard output must not end a run
// with its ports open.
bool installSignalWatch();

// Calls caught on the thread's event loop after each signal the watch took
// in, the pipe emptied first. Without the watch it is never called.
std::unique_ptr<QSocketNotifier> watchSignals(std::function<void()> caught);

// The read end of the pipe; -1 before installSignalWatch() succeeded.
int signalPipeFd();

// The last signal caught, 0 when none.
int caughtSignal();

// Empties the pipe after the loop has woken on it.
void drainSignalPipe();

}  // namespace oxu::runs
