// The unit of work of an `OperationQueue`: an object that runs once on a
// worker thread, can be cancelled, and runs a completion block afterwards.
//
// States move one way: ready -> executing -> finished, or ready -> finished
// when the operation was cancelled before it started (its body then never
// runs, but its completion block still does). `BlockOperation` runs a list of
// blocks as its body; `GitQueueOperation` builds on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace tavrik {

class Operation {
public:
  Operation() = default;
  virtual ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  bool isReady() const { return state_.load(std::memory_order_acquire) == kReady; }
  bool isExecuting() const { return state_.load(std::memory_order_acquire) == kExecuting; }
  bool isFinished() const { return state_.load(std::memory_order_acquire) == kFinished; }
  bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

  /// Marks the operation cancelled. Before it starts, its body will never
  /// run; once running, the body may look at `isCancelled()` to stop early.
  /// Safe from any thread; cancelling twice does nothing more.
  virtual void cancel();

  /// Runs after the operation has finished, on the thread that finished it
  /// (a worker thread when the operation is run by a queue). Set it before
  /// the operation starts; a block set later may or may not run.
  void setCompletionBlock(std::function<void()> block);

  /// Runs the operation on the calling thread: the body unless cancelled,
  /// then the finished state, then the completion block. Only the first call
  /// does anything. Exceptions escaping the body or the completion block are
  /// logged and swallowed.
  void start();

  /// Blocks until the operation is finished. Do not call it from the
  /// operation's own body.
  void waitUntilFinished() const;

protected:
  /// The body. The base does nothing.
  virtual void main() {}

private:
  static constexpr uint8_t kReady = 0, kExecuting = 1, kFinished = 2;

  std::atomic<uint8_t> state_{kReady};
  std::atomic<bool> cancelled_{false};
  std::mutex completionLock_; // guards completionBlock_
  std::function<void()> completionBlock_;
};

/// An operation whose body is a list of blocks, run in the order added.
class BlockOperation : public Operation {
public:
  BlockOperation() = default;
  explicit BlockOperation(std::function<void()> block);

  /// Adds a block to the body. Only before the operation starts; later
  /// additions are ignored.
  void addExecutionBlock(std::function<void()> block);

protected:
  void main() override;

private:
  // Written only before start, read only by the body; the queue's hand-off
  // orders the two.
  std::vector<std::function<void()>> blocks_;
};

} // namespace tavrik
