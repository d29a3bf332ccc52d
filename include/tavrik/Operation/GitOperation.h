// An operation with a result. The result reaches the caller only through
// `future()`, created unresolved with the operation and settled exactly once
// by the run flow (or cancelled by `cancel()`).
//
// The run flow, on a worker thread of the operation's queue:
//   1. no queue any more: the future is rejected with queueReleased and
//      nothing runs. The flow reaches the queue only through
//      `GitOperationHost`.
//   2. index lock when `needsIndexLock()`
//   3. task "Working...", 0; the queue's run observers are told
//   4-6. context; the notification, if any, is prepared
//   7. `operationWillStart()`; the journal, if the host keeps one, records
//      what the operation may change (`journalScope()`)
//   8. `execute(context)`; a view reader's record is stored in the view;
//      the journal records the state after it, failed or not
//   9. error: logged "git: %s failed: %s" unless cancelled;
//      success: the notification joins the queue's pending notifications
//   10. `host.updateViewFor(context.updatedAspects)`, after failures too,
//       since a failed command may still have changed the repository;
//       then the run observers are told the run is over
//   11. the future is rejected or resolved
//   12. task "Done.", 100
//   13. index lock released
// The future settles before the view operations of step 10 have run; wait
// for the view-change notification to see the refreshed view.
//
// Chain operations on one queue with `enqueue` and `next`:
//   next(makeOperation<A>()->enqueue(queue), [](const GitQueueValue<A::ResultType>& v) {
//     return makeOperation<B>(v.value);
//   });
#pragma once

#include "tavrik/Interfaces/Future.h"
#include "tavrik/Operation/GitOperationContext.h"
#include "tavrik/Operation/GitOperationHost.h"
#include "tavrik/Operation/GitQueueOperation.h"
#include "tavrik/Operation/GitQueueValue.h"
#include "tavrik/Util/TavrikError.h"

#include <any>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace tavrik {

namespace detail {
// The non-generic steps of the run flow, compiled once.
void runFlowSetWorking(GitQueueOperation& operation);
void runFlowSetDone(GitQueueOperation& operation);
void runFlowPrepareNotification(GitOperationHost& host, GitNotification& notification);
void runFlowReportOutcome(GitOperationHost& host, GitQueueOperation& operation,
                          const std::shared_ptr<GitNotification>& notification, const std::exception_ptr& error);
void runFlowRefreshView(GitOperationHost& host, GitAspects aspects);
void runFlowWillStart(GitQueueOperation& operation);
/// Records the operation's "before" in the host's journal when it keeps one
/// and the operation is journaled; an empty token otherwise. Throws when the
/// journal cannot record it.
std::any runFlowJournalBefore(GitOperationHost& host, GitQueueOperation& operation, GitOperationContext& context);
/// Records the "after" of a token from `runFlowJournalBefore`; logs failures.
void runFlowJournalAfter(GitOperationHost& host, GitQueueOperation& operation, const std::any& token,
                         GitOperationContext& context);
void runFlowDidFinish(GitQueueOperation& operation, const std::exception_ptr& error);
/// Ends the program with "method not implemented": for abstract members that
/// cannot be pure (the type must stay constructible).
[[noreturn]] void methodNotImplemented(const char* file, int line);

} // namespace detail

template <class T> class GitOperation : public GitQueueOperation {
public:
  using ResultType = T;

  GitOperation() = default;

  /// The result; the same future for the operation's whole life.
  pledge::Future<T> future() const { return future_; }

  /// Works on this repository instead of the queue's own. Set before enqueueing.
  std::optional<GitRepositoryDescriptor> overrideDescriptor;

  /// Sets `overrideDescriptor` and returns the same operation.
  std::shared_ptr<GitOperation> override(GitRepositoryDescriptor descriptor) {
    overrideDescriptor = std::move(descriptor);
    return std::static_pointer_cast<GitOperation>(shared_from_this());
  }

  /// The work. Throws to fail; adds to `context.updatedAspects` what it may
  /// have changed.
  virtual T execute(GitOperationContext& context) = 0;

  /// True for the view's readers, whose result is one of the view's records
  /// (`SharedValue<GitRefList>`, `SharedValue<GitStatusList>`, ...): when the operation
  /// runs on a queue, the queue stores the record in its view
  /// (`GitOperationHost::storeInView`) right after `execute` and before the
  /// future settles. `execute` called inline stores nothing. The base is false.
  virtual bool storesResultInView() const { return false; }

  /// Runs `execute` inline on this thread with this context; nullopt when it
  /// throws (the error is dropped).
  std::optional<T> executeQuiet(GitOperationContext& context) {
    try {
      return execute(context);
    } catch (...) {
      return std::nullopt;
    }
  }

  /// The future mapped to `GitQueueValue(queue, value)`; then adds the
  /// operation to `queue` (a `GitQueue`, whose header the caller includes).
  template <class Queue> pledge::Future<GitQueueValue<T>> enqueue(const std::shared_ptr<Queue>& queue) {
    auto mapped = future_.map([queue](const T& value) { return GitQueueValue<T>{queue, value}; });
    queue->addOperation(shared_from_this());
    return mapped;
  }

  void run() override;

  /// The platform cancel, then the future's.
  void cancel() override {
    GitQueueOperation::cancel();
    future_.cancel();
  }

protected:
  /// Tells the queue's delegate, if any, that the operation starts.
  virtual void operationWillStart() { detail::runFlowWillStart(*this); }
  /// Tells the queue's delegate, if any, that the operation finished.
  virtual void operationDidFinish(std::exception_ptr error) { detail::runFlowDidFinish(*this, error); }

  void didMakeOperation() override {
    GitQueueOperation::didMakeOperation();
    // Weak: the future lives in the operation, and the observers in the future.
    std::weak_ptr<GitQueueOperation> weak = weak_from_this();
    future_.onSuccess([weak](const T&) {
      if (auto self = weak.lock()) static_cast<GitOperation&>(*self).operationDidFinish(nullptr);
    });
    future_.onFailure([weak](const std::exception_ptr& error) {
      if (auto self = weak.lock()) static_cast<GitOperation&>(*self).operationDidFinish(error);
    });
  }

private:
  const pledge::Future<T> future_;
};

template <class T> void GitOperation<T>::run() {
  auto host = this->host();
  if (!host) {
    // A waiter without a limit must not hang on an operation that cannot run.
    future_.reject(std::make_exception_ptr(TavrikError::queueReleased()));
    return;
  }

  const bool locksIndex = needsIndexLock();
  std::unique_lock<std::mutex> indexLock;
  if (locksIndex) indexLock = std::unique_lock(host->indexLock());

  detail::runFlowSetWorking(*this);
  host->operationWillRun();

  std::optional<T> value;
  std::exception_ptr error;
  std::shared_ptr<GitNotification> note;
  GitOperationContext context(this->queue(), host, overrideDescriptor);
  try {
    note = notification();
    if (note) detail::runFlowPrepareNotification(*host, *note);
    operationWillStart();
    const std::any journalToken = detail::runFlowJournalBefore(*host, *this, context);
    try {
      value.emplace(execute(context));
      if (storesResultInView()) host->storeInView(std::any(static_cast<const T*>(&*value)));
    } catch (...) {
      error = std::current_exception();
    }
    detail::runFlowJournalAfter(*host, *this, journalToken, context);
  } catch (...) {
    error = std::current_exception();
  }

  detail::runFlowReportOutcome(*host, *this, error ? nullptr : note, error);
  detail::runFlowRefreshView(*host, context.updatedAspects);
  host->operationDidRun();

  if (error) {
    future_.reject(error);
  } else {
    future_.resolve(std::move(*value));
  }

  detail::runFlowSetDone(*this);
  // The index lock is released last, when `indexLock` goes out of scope.
}

/// Chains an operation after `future` on the same queue: when `future`
/// succeeds, `makeNext(value)` gives the next operation, which is enqueued on
/// `value.queue`; the result is that operation's enqueued future. Failures
/// pass through unchanged; a null operation rejects with std::invalid_argument.
template <class T, class F> auto next(const pledge::Future<GitQueueValue<T>>& future, F makeNext) {
  using OperationPtr = std::invoke_result_t<F, const GitQueueValue<T>&>;
  using Operation = typename OperationPtr::element_type;
  using U = typename Operation::ResultType;
  return future.then([makeNext = std::move(makeNext)](const GitQueueValue<T>& value) -> pledge::Future<GitQueueValue<U>> {
    OperationPtr operation = makeNext(value);
    if (!operation) throw std::invalid_argument("next: no operation to chain");
    return operation->enqueue(value.queue);
  });
}

} // namespace tavrik
