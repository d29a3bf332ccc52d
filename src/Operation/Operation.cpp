#include "tavrik/Operation/Operation.h"

#include "tavrik/Util/Error.h"
#include "tavrik/Util/Log.h"

#include <exception>

namespace tavrik {

Operation::~Operation() = default;

void Operation::cancel() { cancelled_.store(true, std::memory_order_release); }

void Operation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard lock(completionLock_);
  completionBlock_ = std::move(block);
}

void Operation::start() {
  uint8_t expected = kReady;
  if (isCancelled()) {
    // Cancelled before it started: skip the body, go straight to finished.
    if (!state_.compare_exchange_strong(expected, kFinished, std::memory_order_acq_rel)) return;
  } else {
    if (!state_.compare_exchange_strong(expected, kExecuting, std::memory_order_acq_rel)) return;
    try {
      main();
    } catch (...) {
      Log::defaultLog().error("operation: uncaught exception: %s",
                              localizedDescription(std::current_exception()).c_str());
    }
    state_.store(kFinished, std::memory_order_release);
  }
  state_.notify_all();

  std::function<void()> completion;
  {
    std::lock_guard lock(completionLock_);
    // Moved out so that whatever the block captured is released once it has run.
    completion.swap(completionBlock_);
  }
  if (!completion) return;
  try {
    completion();
  } catch (...) {
    Log::defaultLog().error("operation: uncaught exception in completion block: %s",
                            localizedDescription(std::current_exception()).c_str());
  }
}

void Operation::waitUntilFinished() const {
  auto state = state_.load(std::memory_order_acquire);
  while (state != kFinished) {
    state_.wait(state, std::memory_order_acquire);
    state = state_.load(std::memory_order_acquire);
  }
}

BlockOperation::BlockOperation(std::function<void()> block) { blocks_.push_back(std::move(block)); }

void BlockOperation::addExecutionBlock(std::function<void()> block) {
  if (!isReady()) return;
  blocks_.push_back(std::move(block));
}

void BlockOperation::main() {
  for (auto& block : blocks_) {
    if (block) block();
  }
}

} // namespace tavrik
