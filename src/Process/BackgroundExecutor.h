// The background queue on which pipe drains run: a pool of worker threads
// that grows when every worker is busy and shrinks when workers stay idle.
// A drain may block for as long as some grandchild keeps a pipe open, so the
// pool has no upper bound; reusing idle workers keeps a launch free of thread
// creation in the common case.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace tavrik::detail {

class BackgroundExecutor {
public:
  /// The process-wide pool. Never destroyed, so workers may outlive static
  /// destruction at exit.
  static BackgroundExecutor& shared();

  /// Runs `work` on a worker thread; starts a new worker when none is idle.
  void submit(std::function<void()> work);

  /// Number of worker threads alive (for tests).
  size_t threadCount();

private:
  BackgroundExecutor() = default;
  void workerLoop();

  std::mutex mutex_;                        // guards queue_, idle_, threads_
  std::condition_variable workAvailable_;
  std::deque<std::function<void()>> queue_;
  size_t idle_ = 0;                          // workers waiting for work
  size_t threads_ = 0;                       // workers alive
};

} // namespace tavrik::detail
