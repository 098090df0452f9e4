#pragma once

// SIGINT and SIGTERM turned into something the event loop can wait on: the
// handler only writes the signal number into a pipe (async-signal-safe),
// and the loop reads it like any other input.

namespace oxu::cli {

// Installs the handlers for SIGINT and SIGTERM, once per process. Reads and
// waits on stdin are interrupted by them (no SA_RESTART). Returns false when
// the pipe cannot be made; the default handlers then stay.
bool installSignalWatch();

// The read end of the pipe; -1 before installSignalWatch() succeeded.
int signalPipeFd();

// The last signal caught, 0 when none.
int caughtSignal();

// Empties the pipe after the loop has woken on it.
void drainSignalPipe();

}  // namespace oxu::cli
