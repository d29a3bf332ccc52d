#include "tavrik/Process/WaitGroup.h"

namespace tavrik {

void WaitGroup::enter() {
  std::lock_guard lock(mutex_);
  ++count_;
}

void WaitGroup::leave() {
  // Notified under the lock: a waiter that wakes may destroy the group at once.
  std::lock_guard lock(mutex_);
  if (--count_ == 0) done_.notify_all();
}

bool WaitGroup::waitFor(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  return done_.wait_until(lock, std::chrono::steady_clock::now() + timeout, [&] { return count_ == 0; });
}

void WaitGroup::wait() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return count_ == 0; });
}

} // namespace tavrik
