// What a remote operation tells the user once the repository view has caught
// up with it ("Pushed 3 commits"). The operation returns one from its
// `notification()`; the run flow prepares it before the command runs and,
// on success, hands it to the queue, which commits it once every aspect in
// its `commitOn` set has been seen changing (the queue offers it every real view change).
//
// The queue calls `content` under its notifications lock, so an
// implementation works from what it was given (by its operation, before or
// after the command ran) and must not add notifications itself.
#pragma once

#include "tavrik/Operation/GitAspects.h"

#include <atomic>
#include <optional>
#include <string>

namespace tavrik {

class GitOperationHost;

struct GitNotificationContent {
  std::string title;
  std::string subtitle;
  std::string body;
  bool operator==(const GitNotificationContent&) const = default;
};

class GitNotification {
public:
  explicit GitNotification(GitAspects commitOn = {}) : commitOn_(commitOn.rawValue) {}
  virtual ~GitNotification() = default;

  /// The aspects still to be seen changing before the notification commits.
  virtual GitAspects commitOn() const { return GitAspects(commitOn_.load(std::memory_order_acquire)); }
  virtual void setCommitOn(GitAspects aspects) { commitOn_.store(aspects.rawValue, std::memory_order_release); }

  /// A short text for the log.
  virtual std::string logDescription() const = 0;
  /// Called on the operation's worker thread before the command runs, with
  /// the host the operation runs on.
  virtual void prepare(GitOperationHost& host) = 0;
  /// What to show once committed; nullopt shows nothing. Called under the
  /// host's notifications lock.
  virtual std::optional<GitNotificationContent> content() = 0;

private:
  std::atomic<uint32_t> commitOn_;
};

} // namespace tavrik
