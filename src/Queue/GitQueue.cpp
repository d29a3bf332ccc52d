#include "tavrik/Queue/GitQueue.h"

#include "Queue/GitQueueInternals.h"
#include "Queue/ViewOperationFactory.h"
#include "tavrik/Operation/GitNotification.h"
#include "tavrik/Process/GitPrefix.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Operation/GitQueueOperation.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/Error.h"

#include <algorithm>
#include <any>
#include <cstdlib>
#include <utility>

namespace tavrik {

void GitQueueDelegate::gitQueueOperationWillStart(const std::shared_ptr<GitQueue>&,
                                                  const std::shared_ptr<GitQueueOperation>&) {}
void GitQueueDelegate::gitQueueOperationDidFinish(const std::shared_ptr<GitQueue>&,
                                                  const std::shared_ptr<GitQueueOperation>&, std::exception_ptr) {}
void GitQueueDelegate::gitQueueDidCommitNotification(const std::shared_ptr<GitQueue>&,
                                                     const GitNotificationContent&) {}

std::shared_ptr<GitQueue> GitQueue::create(std::optional<GitRepositoryDescriptor> descriptor,
                                           std::shared_ptr<persona::PersonaManager> personaManager,
                                           std::optional<Url> prefixURL) {
  // The first git command needs the login shell's environment; probing while
  // the client sets up hides most of the probe's time.
  Shell::startDefaultShellProbe();
  return std::make_shared<GitQueue>(Passkey{}, std::move(descriptor), std::move(personaManager),
                                    std::move(prefixURL));
}

GitQueue::GitQueue(Passkey, std::optional<GitRepositoryDescriptor> descriptor,
                   std::shared_ptr<persona::PersonaManager> personaManager, std::optional<Url> prefixURL)
    : descriptor_(std::move(descriptor)), prefixURL_(std::move(prefixURL)),
      personaManager_(std::move(personaManager)), _view(GitView::empty()) {}

GitQueue::~GitQueue() = default;

std::optional<Url> GitQueue::sharedSupportURL() {
  static const std::optional<Url> url = []() -> std::optional<Url> {
    if (const char* value = std::getenv("TAVRIK_GIT_PREFIX"); value && *value) return Url::fileURL(value, true);
    // As the command-line client finds it; without git on PATH the queues
    // report "Git executable not found." for each operation.
    try {
      return resolveGitPrefix(std::nullopt);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }();
  return url;
}

namespace {
// Deliberately never destroyed: work may still run on them while the process exits.
std::shared_ptr<GitQueue>& makeSharedQueue() {
  return *new std::shared_ptr<GitQueue>(GitQueue::create(std::nullopt, nullptr, GitQueue::sharedSupportURL()));
}
} // namespace

std::shared_ptr<GitQueue> GitQueue::global() {
  static auto& queue = makeSharedQueue();
  return queue;
}

std::shared_ptr<GitQueue> GitQueue::repositoryStatus() {
  static auto& queue = makeSharedQueue();
  return queue;
}

std::shared_ptr<GitQueue> GitQueue::repositoryInfo() {
  static auto& queue = makeSharedQueue();
  return queue;
}

std::optional<Url> GitQueue::prefixed(std::string_view path, bool isDirectory) const {
  if (!prefixURL_) return std::nullopt;
  return prefixURL_->appendingPathComponent(path, isDirectory);
}

std::optional<Url> GitQueue::binURL() const { return prefixed("bin", true); }
std::optional<Url> GitQueue::libexecGitCoreURL() const { return prefixed("libexec/git-core", false); }
std::optional<Url> GitQueue::gitTemplatesURL() const { return prefixed("share/git-core/templates", false); }
std::optional<Url> GitQueue::gitBinaryURL() const { return prefixed("bin/git", false); }
std::optional<Url> GitQueue::askpassBinaryURL() const { return prefixed("bin/askpass", false); }
std::optional<Url> GitQueue::editorBinaryURL() const { return prefixed("bin/editor", false); }

std::shared_ptr<GitQueueDelegate> GitQueue::delegate() const {
  std::lock_guard lock(delegateLock_);
  return delegate_.lock();
}

void GitQueue::operationWillStart(const std::shared_ptr<GitQueueOperation>& operation) {
  if (auto delegate = this->delegate()) delegate->gitQueueOperationWillStart(shared_from_this(), operation);
}

void GitQueue::operationDidFinish(const std::shared_ptr<GitQueueOperation>& operation, std::exception_ptr error) {
  if (auto delegate = this->delegate()) delegate->gitQueueOperationDidFinish(shared_from_this(), operation, error);
}

void GitQueue::setDelegate(const std::shared_ptr<GitQueueDelegate>& delegate) {
  std::lock_guard lock(delegateLock_);
  delegate_ = delegate;
}

// Tasks

std::vector<std::shared_ptr<GitTask>> GitQueue::tasks() const {
  std::lock_guard lock(_tasksLock);
  std::vector<std::shared_ptr<GitTask>> copy;
  copy.reserve(_tasks.size());
  // Pruning is amortised (see addTask), so finished ones are filtered here.
  for (const auto& task : _tasks)
    if (task->isValid()) copy.push_back(task);
  return copy;
}

void GitQueue::addOperation(const std::shared_ptr<GitQueueOperation>& operation) {
  if (!operation) return;
  operation->prepareOnce();
  auto self = shared_from_this();
  operation->setQueue(self, self);
  if (!operation->isFinished() && operation->title()) {
    auto task = operation->_task;
    addTask(task);
    operation->setCompletionBlock([weak = weak_from_this(), task] {
      if (auto queue = weak.lock()) {
        queue->pruneTasks(task);
        queue->notifyObservers(GitAspects::queueTasks);
      }
    });
  }
  queue_.addOperation(operation);
}

void GitQueue::addTask(const std::shared_ptr<GitTask>& task) {
  {
    std::lock_guard lock(_tasksLock);
    // A full prune visits every task, so it runs only once the list has
    // doubled since the last one; with thousands of queued operations a
    // prune per addition would make adding quadratic. `tasks()` never shows
    // stale entries either way.
    if (_tasks.size() >= std::max<size_t>(64, 2 * tasksPrunedSize_)) {
      std::erase_if(_tasks, [](const std::shared_ptr<GitTask>& t) { return !t->isValid(); });
      tasksPrunedSize_ = _tasks.size();
    }
    _tasks.push_back(task);
  }
  notifyObservers(GitAspects::queueTasks);
}

void GitQueue::pruneTasks(const std::shared_ptr<GitTask>& removing) {
  std::lock_guard lock(_tasksLock);
  if (removing) {
    // Operations complete roughly in the order they were added, so the task
    // is found near the front.
    auto it = std::find(_tasks.begin(), _tasks.end(), removing);
    if (it != _tasks.end()) _tasks.erase(it);
  }
  // Drop invalid tasks at the front cheaply; the rest wait for the next full prune.
  while (!_tasks.empty() && !_tasks.front()->isValid()) _tasks.pop_front();
  tasksPrunedSize_ = std::min(tasksPrunedSize_, _tasks.size());
}

void GitQueue::waitUntilAllOperationsAreFinished() { queue_.waitUntilAllOperationsAreFinished(); }

void GitQueue::cancelAllOperations() { queue_.cancelAllOperations(); }

// Notifications

void GitQueue::addNotification(const std::shared_ptr<GitNotification>& notification) {
  if (!notification) return;
  std::lock_guard lock(_notificationsLock);
  if (log_.isEnabled(LogLevel::defaultLevel))
    log_.info("notification: adding %s", notification->logDescription().c_str());
  _notifications.push_back(notification);
}

void GitQueue::commitNotificationsWith(GitAspects aspects) {
  if (aspects.isEmpty()) return;
  std::vector<GitNotificationContent> committed;
  {
    std::lock_guard lock(_notificationsLock);
    committed = commitPendingNotifications(aspects);
  }
  deliverCommitted(committed);
}

std::vector<std::shared_ptr<GitNotification>> GitQueue::pendingNotifications() const {
  std::lock_guard lock(_notificationsLock);
  return _notifications;
}

std::vector<GitNotificationContent> GitQueue::commitPendingNotifications(GitAspects aspects) {
  std::vector<GitNotificationContent> committed;
  if (_notifications.empty()) return committed;
  std::vector<std::shared_ptr<GitNotification>> kept;
  for (auto& notification : _notifications) {
    auto remaining = notification->commitOn().subtracting(aspects);
    notification->setCommitOn(remaining);
    if (!remaining.isEmpty()) {
      if (log_.isEnabled(LogLevel::defaultLevel))
        log_.info("notification: could not commit %s, still waiting on aspects %d",
                  notification->logDescription().c_str(), static_cast<int>(remaining.rawValue));
      kept.push_back(std::move(notification));
      continue;
    }
    if (auto content = notification->content()) committed.push_back(std::move(*content));
    if (log_.isEnabled(LogLevel::defaultLevel))
      log_.info("notification: committed %s", notification->logDescription().c_str());
  }
  _notifications = std::move(kept);
  return committed;
}

void GitQueue::deliverCommitted(const std::vector<GitNotificationContent>& contents) {
  if (contents.empty()) return;
  auto delegate = this->delegate();
  if (!delegate) return;
  auto self = shared_from_this();
  for (const auto& content : contents) delegate->gitQueueDidCommitNotification(self, content);
}

// Observers

GitQueue::ObserverToken GitQueue::addChangeObserver(const std::shared_ptr<GitQueueObserver>& observer,
                                                    std::shared_ptr<OperationQueue> deliveryQueue) {
  std::weak_ptr<GitQueueObserver> weakObserver = observer;
  return notificationCenter_.addObserver(
      gitQueueViewDidChangeNotification, this, std::move(deliveryQueue),
      [weakQueue = weak_from_this(), weakObserver](const Notification& notification) {
        auto it = notification.userInfo.find(changesKey);
        if (it == notification.userInfo.end()) return;
        const auto* aspects = std::any_cast<GitAspects>(&it->second);
        if (!aspects) return;
        auto queue = weakQueue.lock();
        auto observer = weakObserver.lock();
        if (!queue || !observer) return;
        observer->gitQueueDidChange(queue, *aspects);
      });
}

void GitQueue::removeChangeObserver(const ObserverToken& token) { notificationCenter_.removeObserver(token); }

void GitQueue::notifyObservers(GitAspects aspects) {
  if (aspects.isEmpty()) return;
  if (log_.isEnabled(LogLevel::defaultLevel))
    log_.info("queue: notifying observers for %s", aspects.debugDescription().c_str());
  Notification notification{gitQueueViewDidChangeNotification, this, {}};
  notification.userInfo.emplace(changesKey, aspects);
  notificationCenter_.post(std::move(notification));
}

// The view store

GitView GitQueue::view() const {
  std::lock_guard lock(_viewLock);
  return _view;
}

GitView GitQueue::updateView(const std::function<void(GitView&)>& block) {
  GitView newView;
  GitView oldView;
  GitAspects changed;
  {
    std::lock_guard lock(_viewLock);
    newView = _view;
    block(newView);
    changed = changedAspects(_view, newView);
    // The replaced view is released after the lock: dropping a large status
    // list takes a while and readers need not wait for it.
    oldView = std::exchange(_view, newView);
  }
  // _viewLock is released before _notificationsLock is taken: notification
  // contents read the view under the notifications lock.
  if (!changed.isEmpty()) {
    commitNotificationsWith(changed);
    notifyObservers(changed);
  }
  return newView;
}

namespace {

// The view's field for each reader's record. An absent status or submodule
// list (nothing was read) leaves the view as it is.
void storeRecord(GitView& view, const GitHeadList& record) { view.headList = record; }
void storeRecord(GitView& view, const SharedValue<GitStatusList>& record) {
  if (record) view.status = record;
}
void storeRecord(GitView& view, const SharedValue<GitRefList>& record) {
  if (record) view.refs = record;
}
void storeRecord(GitView& view, const GitReflogList& record) { view.reflogs = record; }
void storeRecord(GitView& view, const GitStashList& record) { view.stashList = record; }
void storeRecord(GitView& view, const std::shared_ptr<const GitConfigSnapshot>& record) { view.config = record; }
void storeRecord(GitView& view, const std::vector<GitWorktree>& record) { view.worktrees = record; }
void storeRecord(GitView& view, const std::optional<std::vector<GitSubmodule>>& record) {
  if (record) view.submodules = *record;
}

template <class... Records> bool storeAny(GitQueue& queue, const std::any& record) {
  return (... || [&] {
    auto pointer = std::any_cast<const Records*>(&record);
    if (!pointer || !*pointer) return false;
    detail::GitQueueInternals::updateView(queue, [&](GitView& view) { storeRecord(view, **pointer); });
    return true;
  }());
}

} // namespace

void GitQueue::storeInView(const std::any& record) {
  const bool stored =
      storeAny<GitHeadList, SharedValue<GitStatusList>, SharedValue<GitRefList>, GitReflogList, GitStashList,
               std::shared_ptr<const GitConfigSnapshot>, std::optional<std::vector<GitSubmodule>>, std::vector<GitWorktree>>(*this, record);
  if (!stored) Log::defaultLog().error("queue: the view has no field for a record of type %s", record.type().name());
}

void GitQueue::setLogDescriptor(const GitLogDescriptor& descriptor) {
  updateView([&](GitView& view) { view.logDescriptor = descriptor; });
}

// View refresh dispatch

void GitQueue::setViewOperationFactory(ViewOperationFactory factory) {
  auto shared = factory ? std::make_shared<const ViewOperationFactory>(std::move(factory)) : nullptr;
  std::lock_guard lock(factoryLock_);
  viewOperationFactory_ = std::move(shared);
}

void GitQueue::updateViewFor(GitAspects aspects) {
  if (aspects.isEmpty()) return;
  // Each worktree's entry names the commit its HEAD is at: a branch moved
  // (by a commit here, a fetch, or git in another worktree) leaves the list
  // stale. Only once it has been read: a client that never shows it pays nothing.
  if (aspects.containsAny(GitAspects{GitAspects::head, GitAspects::refs})) {
    std::lock_guard lock(_viewLock);
    if (!_view.worktrees.empty()) aspects.insert(GitAspects::worktrees);
  }
  for (auto& observer : runObservers()) observer->gitQueueWillRefresh(*this, aspects);
  static constexpr GitAspects kRefreshed[] = {GitAspects::head,    GitAspects::status, GitAspects::refs,
                                              GitAspects::reflogs, GitAspects::stashes, GitAspects::config,
                                              GitAspects::submodules, GitAspects::worktrees};
  if (aspects.containsAny(GitAspects{GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::reflogs,
                                     GitAspects::stashes, GitAspects::config, GitAspects::submodules,
                                     GitAspects::worktrees})) {
    std::shared_ptr<const ViewOperationFactory> factory;
    {
      std::lock_guard lock(factoryLock_);
      factory = viewOperationFactory_;
    }
    for (auto aspect : kRefreshed) {
      if (!aspects.contains(aspect)) continue;
      auto operation = factory ? (*factory)(aspect) : detail::makeViewOperation(aspect);
      if (operation) addOperation(operation);
    }
  }
  if (aspects.contains(GitAspects::logDescriptor)) notifyObservers(GitAspects::logDescriptor);
}

void GitQueue::setJournal(std::shared_ptr<GitOperationJournal> journal) {
  std::lock_guard lock(journalLock_);
  journal_ = std::move(journal);
}

std::shared_ptr<GitOperationJournal> GitQueue::journal() const {
  std::lock_guard lock(journalLock_);
  return journal_;
}

void GitQueue::addRunObserver(const std::shared_ptr<GitQueueRunObserver>& observer) {
  std::lock_guard lock(runObserversLock_);
  runObservers_.push_back(observer);
  hasRunObservers_.store(true, std::memory_order_release);
}

void GitQueue::removeRunObserver(const GitQueueRunObserver* observer) {
  std::lock_guard lock(runObserversLock_);
  std::erase_if(runObservers_, [observer](const std::weak_ptr<GitQueueRunObserver>& weak) {
    auto strong = weak.lock();
    return !strong || strong.get() == observer;
  });
}

std::vector<std::shared_ptr<GitQueueRunObserver>> GitQueue::runObservers() {
  std::vector<std::shared_ptr<GitQueueRunObserver>> live;
  if (!hasRunObservers_.load(std::memory_order_acquire)) return live;
  std::lock_guard lock(runObserversLock_);
  std::erase_if(runObservers_, [](const std::weak_ptr<GitQueueRunObserver>& weak) { return weak.expired(); });
  for (auto& weak : runObservers_)
    if (auto strong = weak.lock()) live.push_back(std::move(strong));
  return live;
}

void GitQueue::operationWillRun() {
  tellRunObservers([this](GitQueueRunObserver& observer) { observer.gitQueueOperationWillRun(*this); });
}

void GitQueue::operationDidRun() {
  tellRunObservers([this](GitQueueRunObserver& observer) { observer.gitQueueOperationDidRun(*this); });
}

// The run flow must go on whatever an observer does: only allocation can fail.
void GitQueue::tellRunObservers(const std::function<void(GitQueueRunObserver&)>& call) {
  try {
    for (auto& observer : runObservers()) call(*observer);
  } catch (...) {
    Log::defaultLog().error("queue: a run observer failed: %s", localizedDescription(std::current_exception()).c_str());
  }
}

} // namespace tavrik
