// Counts pieces of background work so that a thread can wait, with a time
// limit, until all of them have finished: the drains of one child's pipes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavrik {

class WaitGroup {
public:
  /// Counts one more piece of work. Call before the work is submitted.
  void enter();
  /// Marks one piece as finished and wakes waiters when none are left.
  void leave();
  /// Blocks until the count is zero or `timeout` has passed; true when the
  /// count reached zero.
  bool waitFor(std::chrono::steady_clock::duration timeout);
  /// Blocks until the count is zero.
  void wait();

private:
  std::mutex mutex_;              // guards count_
  std::condition_variable done_;  // signalled when count_ drops to zero
  int count_ = 0;
};

} // namespace tavrik
