// The base of every unit of work on a repository: an operation that a client
// configures at construction and adds to a `GitQueue`, which runs it once on
// one of its worker threads.
//
// Make operations with `makeOperation<Op>(args...)`, never with a bare
// make_shared: the task's title and the future's observers need the fully
// constructed object, so they are set up by the factory right after the
// constructor. (An operation made otherwise is set up when it is added.)
//
// An operation holds its queue weakly: work that starts after the client has
// released the queue does nothing.
#pragma once

#include "tavrik/Operation/GitOperationJournal.h"
#include "tavrik/Operation/Operation.h"
#include "tavrik/Util/Uuid.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace tavrik {

class GitQueue;
class GitOperationHost;
class GitTask;
class GitNotification;

class GitQueueOperation : public BlockOperation, public std::enable_shared_from_this<GitQueueOperation> {
public:
  GitQueueOperation();
  ~GitQueueOperation() override;

  /// Fixed at construction.
  const Uuid& uuid() const { return uuid_; }

  /// Carried for callers; the engine does not read it.
  bool isQuiet() const { return quiet_.load(std::memory_order_relaxed); }
  void setQuiet(bool quiet) { quiet_.store(quiet, std::memory_order_relaxed); }

  /// The user-visible name; nullopt (the base) means no visible task.
  virtual std::optional<std::string> title() const;
  /// True for operations that change the index or working tree; those hold
  /// the queue's index lock for their whole run and so never overlap.
  virtual bool needsIndexLock() const;

  /// What of the repository the undo journal records before the operation
  /// runs on a queue that keeps one; the base, `none`, records nothing.
  virtual GitJournalScope journalScope() const;
  /// The working-tree paths a `workingTree`-scoped operation may change,
  /// when it knows them (relative to the top of the working tree): the
  /// journal then keeps the files at those paths and under them rather than
  /// the whole tree. The base, nullopt, may change any file.
  virtual std::optional<std::vector<std::string>> journalPaths() const;
  /// False for an operation that a journaled one runs as its part (the
  /// children of a compound action), so one user action is one entry.
  bool isJournaled() const { return journaled_.load(std::memory_order_relaxed); }
  void setJournaled(bool journaled) { journaled_.store(journaled, std::memory_order_relaxed); }
  /// The visible progress; nullptr once the operation has finished or when
  /// it has no title.
  std::shared_ptr<GitTask> task() const;
  /// Committed by the queue once the view has caught up; base nullptr.
  virtual std::shared_ptr<GitNotification> notification();
  /// The body; the base does nothing. `GitOperation` runs its flow here.
  virtual void run();

  /// The queue the operation was added to, while it exists.
  std::shared_ptr<GitQueue> queue() const;
  /// The same queue as the operation base sees it, while it exists.
  std::shared_ptr<GitOperationHost> host() const;

  /// The class name without namespaces, e.g. "GitExecAddOperation".
  virtual std::string typeName() const;
  /// The UUID text, "-", and `typeName()`.
  std::string diagnosticIdentifier() const;

  /// Cancels the platform operation (see `Operation::cancel`).
  void cancel() override;

protected:
  /// Called once, right after construction (by `makeOperation`) or when the
  /// operation is added: creates the task and registers the execution block.
  /// Overrides must call the base.
  virtual void didMakeOperation();

private:
  friend class GitQueue;
  template <class Op, class... Args> friend std::shared_ptr<Op> makeOperation(Args&&... args);

  void prepareOnce();
  /// `host` is `queue` itself; both are passed so that this layer needs no
  /// complete queue type.
  void setQueue(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<GitOperationHost>& host);

  const Uuid uuid_;
  std::atomic<bool> quiet_{false};
  std::atomic<bool> journaled_{true};
  // Not std::call_once: glibc's once path makes a futex system call per flag.
  std::mutex prepareLock_; // guards prepared_ and the one-time setup
  bool prepared_ = false;
  // Set once by prepareOnce, before the operation is handed to any other thread.
  std::shared_ptr<GitTask> _task;
  mutable std::mutex queueLock_; // guards queue_ and host_
  std::weak_ptr<GitQueue> queue_;
  std::weak_ptr<GitOperationHost> host_;
};

/// Makes an operation and sets it up (see the header comment).
template <class Op, class... Args> std::shared_ptr<Op> makeOperation(Args&&... args) {
  auto op = std::make_shared<Op>(std::forward<Args>(args)...);
  static_cast<GitQueueOperation&>(*op).prepareOnce();
  return op;
}

/// Makes an operation from its options record, so a call names what it sets:
/// `makeOperation<GitExecCheckoutOperation>({.paths = paths, .force = true})`.
template <class Op> std::shared_ptr<Op> makeOperation(typename Op::Options options) {
  return makeOperation<Op, typename Op::Options>(std::move(options));
}

/// Sets `isQuiet` and returns the same operation, for chaining at construction.
template <class Op> std::shared_ptr<Op> quiet(std::shared_ptr<Op> op) {
  op->setQuiet(true);
  return op;
}

namespace detail {
/// A demangled type name with every namespace qualifier removed.
std::string unqualifiedTypeName(const std::type_info& type);
} // namespace detail

} // namespace tavrik
