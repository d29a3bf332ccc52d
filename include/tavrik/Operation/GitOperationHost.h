// What a running operation needs from the queue it runs on, and nothing
// more: the repository, the git prefix and its companion programs, the
// persona manager, the index lock, the log, the run observers, pending
// notifications, the client's delegate, the store of a view reader's record
// and the refresh of what the run changed. `GitQueue` implements it; the
// operation base and the git runner use only this, so they do not depend on
// the queue's worker pool, tasks or cached view.
//
// Every member may be called from any worker thread of the queue.
#pragma once

#include "tavrik/Interfaces/Persona.h"
#include "tavrik/Operation/GitAspects.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/Url.h"

#include <any>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

namespace tavrik {

class GitNotification;
class GitOperationJournal;
class GitQueueOperation;

class GitOperationHost {
public:
  virtual ~GitOperationHost() = default;

  /// The repository operations work on; nullopt for a queue without one.
  virtual const std::optional<GitRepositoryDescriptor>& descriptor() const = 0;
  /// The git prefix; nullopt when git cannot be run.
  virtual const std::optional<Url>& prefixURL() const = 0;
  /// The prefix's git and companion programs; nullopt without a prefix.
  virtual std::optional<Url> gitBinaryURL() const = 0;
  virtual std::optional<Url> askpassBinaryURL() const = 0;
  virtual std::optional<Url> editorBinaryURL() const = 0;
  virtual const std::shared_ptr<persona::PersonaManager>& personaManager() const = 0;
  /// Held by every operation whose `needsIndexLock()` is true, for its whole run.
  virtual std::mutex& indexLock() = 0;
  virtual const Log& log() const = 0;
  /// How many operations the queue runs at once; an operation that fans out
  /// work of its own on threads it owns takes no more than this.
  virtual int workerCount() const = 0;
  /// Tell the run observers that an operation's body starts and ends.
  virtual void operationWillRun() = 0;
  virtual void operationDidRun() = 0;
  /// Appends a notification to the pending list.
  virtual void addNotification(const std::shared_ptr<GitNotification>& notification) = 0;
  /// Refreshes the aspects a run may have changed; does not wait for it.
  virtual void updateViewFor(GitAspects aspects) = 0;
  /// Tell the client's delegate, if any, that `operation` starts (on its
  /// worker thread) or that its future settled (`error` null on success).
  virtual void operationWillStart(const std::shared_ptr<GitQueueOperation>& operation) = 0;
  virtual void operationDidFinish(const std::shared_ptr<GitQueueOperation>& operation, std::exception_ptr error) = 0;
  /// Stores a view reader's record in the view (see
  /// `GitOperation::storesResultInView`). `record` holds a `const T*` to the
  /// record, valid for the call only, so a large one is never copied
  /// needlessly; a type the view has no field for is logged and ignored.
  virtual void storeInView(const std::any& record) = 0;
  /// The undo journal that records journaled operations; the base has none.
  virtual std::shared_ptr<GitOperationJournal> journal() const { return nullptr; }
};

} // namespace tavrik
