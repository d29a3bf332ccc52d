// The per-repository hub. A client creates one `GitQueue` for each open
// repository and adds every operation on it here. The queue owns the worker
// pool the operations run on, the lock that serialises index-changing
// operations, the list of visible tasks, the notifications waiting for the
// view to catch up, the cached `GitView`, and a private notification centre
// through which observers learn which aspects of the view changed.
//
// Locks, each guarding what is named beside it:
//   indexLock           held by an index-changing operation for its whole run
//   _tasksLock          _tasks
//   _notificationsLock  _notifications
//   _viewLock           _view
//   runObserversLock_   runObservers_ (never held while an observer is called)
// The queue never nests them: notification objects are asked for their
// content under _notificationsLock and work from what their operation gave
// them, and _viewLock is never held while _notificationsLock is taken. Observers and delegates are called
// with none of the last three held (an index-changing operation's delegate
// calls happen inside its run, so under indexLock).
//
// Quitting. Git runs in a session of its own: the terminal's Ctrl-C never
// reaches it, and it outlives a client that exits or is killed, so a commit
// or a push the user gave up on would still land. On quit (and on SIGINT,
// SIGTERM or SIGHUP, turned into a request to quit) a client calls
// `cancelAllOperations()` on every queue it made, which interrupts each
// running git's process group, then `waitUntilAllOperationsAreFinished()` on
// each before it exits; releasing a queue waits for nothing. The bridges'
// private folders (tavrik-askpass-*, tavrik-editor-* in the temporary
// folder) go when their sessions end; those of a process that was killed
// are removed by the next process that opens a bridge.
//
// Three shared queues without a repository (`global`, `repositoryStatus`,
// `repositoryInfo`) are created on first use. Their git prefix is the
// directory named by the environment variable TAVRIK_GIT_PREFIX when it is
// set and not empty, else the one `resolveGitPrefix` lays out for the git on
// PATH, as the command-line client does; it is found once, when the first
// of them is created (none when neither gives one).
#pragma once

#include "tavrik/Interfaces/Persona.h"
#include "tavrik/Operation/GitAspects.h"
#include "tavrik/Operation/GitOperationHost.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/Queue/GitView.h"
#include "tavrik/Queue/NotificationCenter.h"
#include "tavrik/Queue/OperationQueue.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/Url.h"

#include <any>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tavrik {

class GitQueue;
class GitQueueOperation;
namespace detail {
struct GitQueueInternals;
} // namespace detail
class GitTask;
class GitNotification;
struct GitNotificationContent;

/// Implemented by the client; every requirement has an empty default.
class GitQueueDelegate {
public:
  virtual ~GitQueueDelegate() = default;
  /// On the operation's worker thread, right before it executes.
  virtual void gitQueueOperationWillStart(const std::shared_ptr<GitQueue>& queue,
                                          const std::shared_ptr<GitQueueOperation>& operation);
  /// From the operation's future observers, on the thread that settled it;
  /// `error` is null on success.
  virtual void gitQueueOperationDidFinish(const std::shared_ptr<GitQueue>& queue,
                                          const std::shared_ptr<GitQueueOperation>& operation,
                                          std::exception_ptr error);
  /// A notification committed with content, on the thread of the view update.
  virtual void gitQueueDidCommitNotification(const std::shared_ptr<GitQueue>& queue,
                                             const GitNotificationContent& content);
};

/// Implemented by the client to follow view changes (`addChangeObserver`).
class GitQueueObserver {
public:
  virtual ~GitQueueObserver() = default;
  virtual void gitQueueDidChange(const std::shared_ptr<GitQueue>& queue, GitAspects aspects) = 0;
};

/// Told of every operation run on a queue and of every refresh asked of it,
/// so that a watcher of the disk can tell the engine's own changes from
/// outside ones. Called on the threads of the runs and refreshes, with none
/// of the queue's locks held (a run's index lock aside).
class GitQueueRunObserver {
public:
  virtual ~GitQueueRunObserver() = default;
  /// Before an operation's body runs (after it has taken the index lock).
  virtual void gitQueueOperationWillRun(GitQueue& queue) = 0;
  /// After the operation's own view refresh has been asked for.
  virtual void gitQueueOperationDidRun(GitQueue& queue) = 0;
  /// At the start of every non-empty `updateViewFor`, before its view
  /// operations are added: whatever changed up to now is covered by them.
  virtual void gitQueueWillRefresh(GitQueue& queue, GitAspects aspects) = 0;
};

/// Implements `GitOperationHost` for the operations run on it; the members
/// only operations need (index lock, run reports, pending notifications)
/// are reached through that interface alone.
class GitQueue : public std::enable_shared_from_this<GitQueue>, public GitOperationHost {
  struct Passkey {};

public:
  /// The name of the view-change notification (`gitQueueViewDidChange`).
  static constexpr const char* gitQueueViewDidChangeNotification = "gitQueueViewDidChangeNotification";
  /// The user-info key of the changed aspects (a `GitAspects` value).
  static constexpr const char* changesKey = "changes";

  using ObserverToken = NotificationCenter::Token;
  /// Makes the view operation that refreshes one aspect; nullptr for none.
  using ViewOperationFactory = std::function<std::shared_ptr<GitQueueOperation>(GitAspects)>;

  static std::shared_ptr<GitQueue> create(std::optional<GitRepositoryDescriptor> descriptor,
                                          std::shared_ptr<persona::PersonaManager> personaManager,
                                          std::optional<Url> prefixURL);
  GitQueue(Passkey, std::optional<GitRepositoryDescriptor> descriptor,
           std::shared_ptr<persona::PersonaManager> personaManager, std::optional<Url> prefixURL);
  ~GitQueue();
  GitQueue(const GitQueue&) = delete;
  GitQueue& operator=(const GitQueue&) = delete;

  /// Process-wide queues without a repository, created once on first use.
  static std::shared_ptr<GitQueue> global();
  static std::shared_ptr<GitQueue> repositoryStatus();
  static std::shared_ptr<GitQueue> repositoryInfo();
  /// The prefix of the shared queues: TAVRIK_GIT_PREFIX, if set and not
  /// empty, else `resolveGitPrefix(std::nullopt)`; nullopt when that throws.
  /// Blocks on the first call while git is asked for its exec path.
  static std::optional<Url> sharedSupportURL();

  const std::optional<GitRepositoryDescriptor>& descriptor() const override { return descriptor_; }
  const std::optional<Url>& prefixURL() const override { return prefixURL_; }
  const std::shared_ptr<persona::PersonaManager>& personaManager() const override { return personaManager_; }

  /// Tool locations under the prefix; each nullopt without a prefix.
  std::optional<Url> binURL() const;
  std::optional<Url> libexecGitCoreURL() const;
  std::optional<Url> gitTemplatesURL() const;
  std::optional<Url> gitBinaryURL() const override;
  std::optional<Url> askpassBinaryURL() const override;
  std::optional<Url> editorBinaryURL() const override;

  /// The private centre on which view changes are posted.
  NotificationCenter& notificationCenter() { return notificationCenter_; }
  /// The worker pool operations run on.
  OperationQueue& operationQueue() { return queue_; }
  /// The queue's own log; disabled.
  const Log& log() const override { return log_; }
  int workerCount() const override { return queue_.maxConcurrentOperationCount(); }

  std::shared_ptr<GitQueueDelegate> delegate() const;
  /// Held weakly.
  void setDelegate(const std::shared_ptr<GitQueueDelegate>& delegate);

  /// A copy of the cached view.
  GitView view() const;
  /// A copy of the visible tasks, in the order added (finished ones omitted).
  std::vector<std::shared_ptr<GitTask>> tasks() const;

  /// Sets the operation's queue, registers its task when it has a title
  /// (observers get queueTasks now and again when it completes) and hands it
  /// to the worker pool.
  void addOperation(const std::shared_ptr<GitQueueOperation>& operation);
  /// Appends a task after pruning; observers get queueTasks.
  void addTask(const std::shared_ptr<GitTask>& task);

  /// Blocks until every operation added so far has finished (its git reaped).
  void waitUntilAllOperationsAreFinished();
  /// Cancels every queued and running operation, interrupting the process
  /// group of each running git; does not wait (see "Quitting" above).
  void cancelAllOperations();

  /// A copy of the pending notifications.
  std::vector<std::shared_ptr<GitNotification>> pendingNotifications() const;

  /// Calls `observer.gitQueueDidChange` for every view change of this queue,
  /// on `deliveryQueue` or, when null, on the posting thread. The observer
  /// and this queue are held weakly. Remove the token with
  /// `removeChangeObserver` (or on `notificationCenter()`), from any thread.
  ObserverToken addChangeObserver(const std::shared_ptr<GitQueueObserver>& observer,
                                  std::shared_ptr<OperationQueue> deliveryQueue = nullptr);
  void removeChangeObserver(const ObserverToken& token);

  /// Stores a log descriptor in the view; observers hear of it if it differs.
  void setLogDescriptor(const GitLogDescriptor& descriptor);
  /// Adds one view operation per aspect present (head, status, refs,
  /// reflogs, stashes, config, submodules, worktrees, in that order); tells observers
  /// of logDescriptor at once. head or refs bring worktrees along once the
  /// view holds a worktree list: its entries name the commits HEADs are at.
  /// Takes _viewLock briefly.
  void updateViewFor(GitAspects aspects) override;

  /// Replaces the maker of view operations used by `updateViewFor` (tests,
  /// or clients with readers of their own). An empty function restores the default.
  void setViewOperationFactory(ViewOperationFactory factory);

  /// The undo journal the run flow records journaled operations in (see
  /// `GitQueueOperation::journalScope`); null, the default, keeps none. Set
  /// it before adding operations; any thread.
  void setJournal(std::shared_ptr<GitOperationJournal> journal);
  std::shared_ptr<GitOperationJournal> journal() const override;

  /// Held weakly; removed by `removeRunObserver` or when released.
  void addRunObserver(const std::shared_ptr<GitQueueRunObserver>& observer);
  void removeRunObserver(const GitQueueRunObserver* observer);
private:
  // The view store and the change notices, for the queue's own layer
  // (src/Queue/GitQueueInternals.h); readers' records arrive through the
  // run flow.
  friend struct detail::GitQueueInternals;
  GitView updateView(const std::function<void(GitView&)>& block);
  void commitNotificationsWith(GitAspects aspects);
  void notifyObservers(GitAspects aspects);

  // The operations' side (GitOperationHost): the run flow holds the index
  // lock, reports runs and hands over notifications through the interface.
  std::mutex& indexLock() override { return indexLock_; }
  void operationWillRun() override;
  void operationDidRun() override;
  void addNotification(const std::shared_ptr<GitNotification>& notification) override;
  void operationWillStart(const std::shared_ptr<GitQueueOperation>& operation) override;
  void operationDidFinish(const std::shared_ptr<GitQueueOperation>& operation, std::exception_ptr error) override;
  /// Knows the record of each field of `GitView`.
  void storeInView(const std::any& record) override;
  /// Removes tasks whose operation is gone or finished, and `removing`.
  void pruneTasks(const std::shared_ptr<GitTask>& removing);

  /// The live run observers, pruning released ones; empty without locking
  /// when none was ever added.
  std::vector<std::shared_ptr<GitQueueRunObserver>> runObservers();
  void tellRunObservers(const std::function<void(GitQueueRunObserver&)>& call);

  std::optional<Url> prefixed(std::string_view path, bool isDirectory) const;
  /// Caller holds _notificationsLock. Returns the contents to hand to the
  /// delegate once the lock is released.
  std::vector<GitNotificationContent> commitPendingNotifications(GitAspects aspects);
  void deliverCommitted(const std::vector<GitNotificationContent>& contents);

  const std::optional<GitRepositoryDescriptor> descriptor_;
  const std::optional<Url> prefixURL_;
  const std::shared_ptr<persona::PersonaManager> personaManager_;
  const Log log_ = Log::disabled();

  NotificationCenter notificationCenter_;
  std::mutex indexLock_;

  mutable std::mutex journalLock_; // guards journal_
  std::shared_ptr<GitOperationJournal> journal_;

  mutable std::mutex delegateLock_; // guards delegate_
  std::weak_ptr<GitQueueDelegate> delegate_;

  mutable std::mutex _tasksLock; // guards _tasks and tasksPrunedSize_
  std::deque<std::shared_ptr<GitTask>> _tasks;
  size_t tasksPrunedSize_ = 0;

  mutable std::mutex _notificationsLock; // guards _notifications
  std::vector<std::shared_ptr<GitNotification>> _notifications;

  mutable std::mutex _viewLock; // guards _view
  GitView _view;

  mutable std::mutex factoryLock_; // guards viewOperationFactory_
  std::shared_ptr<const ViewOperationFactory> viewOperationFactory_;

  std::atomic<bool> hasRunObservers_{false};
  mutable std::mutex runObserversLock_; // guards runObservers_
  std::vector<std::weak_ptr<GitQueueRunObserver>> runObservers_;

  // Last, so that it is released first: queued work holds the queue weakly.
  OperationQueue queue_;
};

} // namespace tavrik
