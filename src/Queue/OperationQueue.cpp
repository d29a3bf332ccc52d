#include "tavrik/Queue/OperationQueue.h"

#include "Process/BackgroundExecutor.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace tavrik {

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
  explicit State(int max) : maxConcurrent(max) {}

  const int maxConcurrent;

  mutable std::mutex mutex; // guards everything below
  mutable std::condition_variable allDone;
  std::deque<std::shared_ptr<Operation>> pending;
  std::vector<std::shared_ptr<Operation>> running;
  size_t outstanding = 0; // added and not yet completed
  int threads = 0;

  void work();
};

namespace {
// The state whose worker the current thread is, to refuse a self-deadlocking wait.
thread_local const void* tCurrentQueueState = nullptr;
} // namespace

void OperationQueue::State::work() {
  tCurrentQueueState = this;
  std::unique_lock lock(mutex);
  // Out of work, the thread goes back to the process's pool, where the next
  // operation of any queue wakes it. A thread started for each queue cost a
  // command-line verb two thread start-ups before its git process, each a
  // scheduler delay of milliseconds on a busy machine.
  while (!pending.empty()) {
    auto operation = std::move(pending.front());
    pending.pop_front();
    running.push_back(operation);
    lock.unlock();
    operation->start();
    lock.lock();
    auto it = std::find(running.begin(), running.end(), operation);
    if (it != running.end()) {
      std::swap(*it, running.back());
      running.pop_back();
    }
    // Released outside the lock: an operation's destructor may release
    // objects that reach back into this queue.
    lock.unlock();
    operation.reset();
    lock.lock();
    if (--outstanding == 0) allDone.notify_all();
  }
  --threads;
  tCurrentQueueState = nullptr;
}

OperationQueue::OperationQueue(std::optional<int> maxConcurrentOperationCount)
    : state_(std::make_shared<State>(
          std::max(1, maxConcurrentOperationCount.value_or(defaultMaxConcurrentOperationCount())))) {}

OperationQueue::~OperationQueue() = default;

int OperationQueue::defaultMaxConcurrentOperationCount() {
  return std::max(static_cast<int>(std::thread::hardware_concurrency()), 8);
}

int OperationQueue::maxConcurrentOperationCount() const { return state_->maxConcurrent; }

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  if (!operation || !operation->isReady()) return;
  bool spawn = false;
  const Operation* added = operation.get();
  {
    std::lock_guard lock(state_->mutex);
    state_->pending.push_back(std::move(operation));
    ++state_->outstanding;
    // A worker of this queue takes the queued work when its operation ends;
    // below the limit one more starts at once.
    if (state_->threads < state_->maxConcurrent) {
      ++state_->threads;
      spawn = true;
    }
  }
  if (!spawn) return;
  try {
    detail::BackgroundExecutor::shared().submit([state = state_] { state->work(); });
  } catch (...) {
    std::lock_guard lock(state_->mutex);
    --state_->threads;
    // With other workers alive the operation still runs; with none it never would.
    if (state_->threads == 0) {
      auto& pending = state_->pending;
      auto it = std::find_if(pending.begin(), pending.end(), [&](auto& op) { return op.get() == added; });
      if (it != pending.end()) {
        pending.erase(it);
        if (--state_->outstanding == 0) state_->allDone.notify_all();
      }
      throw;
    }
  }
}

std::shared_ptr<BlockOperation> OperationQueue::addOperation(std::function<void()> block) {
  auto operation = std::make_shared<BlockOperation>(std::move(block));
  addOperation(operation);
  return operation;
}

void OperationQueue::waitUntilAllOperationsAreFinished() const {
  if (tCurrentQueueState == state_.get())
    throw std::logic_error("waitUntilAllOperationsAreFinished called on the queue's own worker thread");
  std::unique_lock lock(state_->mutex);
  state_->allDone.wait(lock, [&] { return state_->outstanding == 0; });
}

void OperationQueue::cancelAllOperations() {
  std::vector<std::shared_ptr<Operation>> all;
  {
    std::lock_guard lock(state_->mutex);
    all.assign(state_->pending.begin(), state_->pending.end());
    all.insert(all.end(), state_->running.begin(), state_->running.end());
  }
  // Cancelled outside the lock: a cancel override may call back into the queue.
  for (auto& operation : all) operation->cancel();
}

size_t OperationQueue::operationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->outstanding;
}

} // namespace tavrik
