#include "Process/BackgroundExecutor.h"

#include <chrono>
#include <thread>

namespace tavrik::detail {
namespace {

// Long enough that back-to-back launches find warm workers.
constexpr auto kIdleLifetime = std::chrono::seconds(30);

} // namespace

BackgroundExecutor& BackgroundExecutor::shared() {
  static auto* executor = new BackgroundExecutor();
  return *executor;
}

void BackgroundExecutor::submit(std::function<void()> work) {
  bool spawn;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
    // Each queued item needs its own idle worker; otherwise start one.
    spawn = queue_.size() > idle_;
    if (spawn) ++threads_;
  }
  if (spawn) {
    try {
      std::thread([this] { workerLoop(); }).detach();
    } catch (...) {
      // Out of threads: a busy worker takes the item later, unless there is
      // none, in which case the caller learns that nothing will run it.
      std::lock_guard lock(mutex_);
      --threads_;
      if (threads_ == 0) {
        queue_.pop_back();
        throw;
      }
    }
  } else {
    workAvailable_.notify_one();
  }
}

size_t BackgroundExecutor::threadCount() {
  std::lock_guard lock(mutex_);
  return threads_;
}

void BackgroundExecutor::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queue_.empty()) {
      ++idle_;
      bool gotWork = workAvailable_.wait_for(lock, kIdleLifetime, [&] { return !queue_.empty(); });
      --idle_;
      if (!gotWork) {
        --threads_;
        return;
      }
    }
    auto work = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    work();
    work = nullptr;  // release captures outside the lock
    lock.lock();
  }
}

} // namespace tavrik::detail
