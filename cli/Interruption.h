// Ctrl-C, a closed terminal or `kill` cancel the client's work instead of
// abandoning it: git runs in a session of its own (so the terminal's
// signals never reach it), and a client that just died would leave it
// running, a commit landing after the user gave up on it. SIGINT, SIGTERM
// and SIGHUP become a cancel of every operation of the watched queues, which
// interrupts each git's process group; the client then waits for them and
// exits with 128 + the signal's number.
//
//   cli::startInterruptWatch();   // before the first queue
//   cli::cancelOnInterrupt(queue);
//   ... run, catching the CancelledError ...
//   return cli::finishWatching(status);
#pragma once

#include "tavrik/Queue/GitQueue.h"

#include <memory>

namespace tavrik::cli {

/// Installs the handlers of SIGINT, SIGTERM and SIGHUP and starts the thread
/// that cancels on them. A handler installed later (the watch verb's) takes
/// over while it is installed. Throws TavrikError when the pipe or the
/// thread cannot be made.
void startInterruptWatch();

/// Adds a queue whose operations a signal cancels; held until
/// `finishWatching`, so that its running operations can be waited for. A
/// signal that came before cancels its operations at once. Any thread.
void cancelOnInterrupt(const std::shared_ptr<GitQueue>& queue);

/// The first signal received, 0 when none.
int receivedSignal();

/// Waits until the operations of every watched queue have finished (their
/// git processes reaped, their bridges' folders removed), lets the queues
/// go, and returns the exit status: 128 + the signal's number after a
/// signal, else `status`.
int finishWatching(int status);

} // namespace tavrik::cli
