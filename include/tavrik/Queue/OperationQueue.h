// A pool of worker threads that runs `Operation`s in the order they were
// added, at most `maxConcurrentOperationCount()` at once.
//
// Workers are threads of the process's shared pool, taken when work is added
// and given back as soon as the queue has none left (the pool ends threads
// that stay idle). They own the queue's shared state, so releasing the queue
// (possibly from one of its own workers) never blocks and never joins:
// operations already added still run, and the workers leave once nothing is
// left.
#pragma once

#include "tavrik/Operation/Operation.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

namespace tavrik {

class OperationQueue {
public:
  /// `maxConcurrentOperationCount` defaults to `defaultMaxConcurrentOperationCount()`.
  explicit OperationQueue(std::optional<int> maxConcurrentOperationCount = std::nullopt);
  /// Does not wait for queued or running operations (see the header comment).
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  /// The larger of the processor count and 8.
  static int defaultMaxConcurrentOperationCount();
  int maxConcurrentOperationCount() const;

  /// Queues `operation` to run on a worker thread. An operation that is no
  /// longer ready (already started or finished) is ignored. Throws
  /// std::system_error when no worker thread can be started at all.
  void addOperation(std::shared_ptr<Operation> operation);
  /// Wraps `block` in a `BlockOperation`, queues it and returns it.
  std::shared_ptr<BlockOperation> addOperation(std::function<void()> block);

  /// Blocks until every operation added so far has finished and its
  /// completion block has returned. Throws std::logic_error when called on
  /// one of this queue's own worker threads, where it could never return.
  void waitUntilAllOperationsAreFinished() const;
  /// Cancels every queued and running operation (see `Operation::cancel`).
  void cancelAllOperations();
  /// Operations added and not yet completed (queued or running).
  size_t operationCount() const;

private:
  struct State;
  std::shared_ptr<State> state_;
};

} // namespace tavrik
