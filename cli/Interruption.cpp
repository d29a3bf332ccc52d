#include "Interruption.h"

#include "tavrik/Util/TavrikError.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tavrik::cli {

namespace {

std::atomic<int> signalPipeWriteEnd{-1};
std::atomic<int> firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// The terminal as it was at the start: a signal during a password prompt
// would otherwise leave it without echo.
std::optional<termios> startTerminal;

std::mutex queuesLock; // guards queues
std::vector<std::shared_ptr<GitQueue>> queues;

std::vector<std::shared_ptr<GitQueue>> watchedQueues() {
  std::lock_guard lock(queuesLock);
  return queues;
}

// Only what is safe in a handler: the work happens on the watching thread.
void onSignal(int signal) {
  int saved = errno;
  int expected = 0;
  firstSignal.compare_exchange_strong(expected, signal);
  unsigned char byte = static_cast<unsigned char>(signal);
  if (int fd = signalPipeWriteEnd.load(); fd >= 0) (void)!::write(fd, &byte, 1);
  errno = saved;
}

} // namespace

void startInterruptWatch() {
  if (termios saved{}; ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0) startTerminal = saved;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw TavrikError::fromErrno(errno, "pipe2");
  signalPipeWriteEnd.store(fds[1]);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  // Lives until the process ends: a signal may come at any moment of it.
  std::thread([readEnd = fds[0]] {
    unsigned char byte;
    for (;;) {
      ssize_t n = ::read(readEnd, &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      for (const auto& queue : watchedQueues()) queue->cancelAllOperations();
    }
  }).detach();
}

void cancelOnInterrupt(const std::shared_ptr<GitQueue>& queue) {
  {
    std::lock_guard lock(queuesLock);
    queues.push_back(queue);
  }
  if (firstSignal.load() != 0) queue->cancelAllOperations();
}

int receivedSignal() { return firstSignal.load(); }

int finishWatching(int status) {
  for (const auto& queue : watchedQueues()) queue->waitUntilAllOperationsAreFinished();
  {
    std::lock_guard lock(queuesLock);
    queues.clear();
  }
  int signal = firstSignal.load();
  if (signal && startTerminal) ::tcsetattr(STDIN_FILENO, TCSANOW, &*startTerminal);
  return signal ? 128 + signal : status;
}

} // namespace tavrik::cli
