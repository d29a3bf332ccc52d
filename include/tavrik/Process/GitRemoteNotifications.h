// What the client is told after a push, fetch or pull once the view has
// caught up: "Pushed 3 commits" to a remote. The operation counts what moved
// (commits the remote-tracking branches gained for a push or fetch, commits
// a pull brought into the branch) after git ran and stores the count here,
// with the remote and upstream of the current branch when the client named
// none; the notification shows them once the refs refresh. Nothing moved:
// no content.
#pragma once

#include "tavrik/Operation/GitNotification.h"

#include <mutex>
#include <optional>
#include <string>

namespace tavrik {

class GitRemoteNotification : public GitNotification {
public:
  enum class Kind { push, fetch, pull };

  GitRemoteNotification(Kind kind, std::optional<std::string> remote, std::optional<std::string> refspec)
      : GitNotification(GitAspects::refs), kind(kind), remote(std::move(remote)), refspec(std::move(refspec)) {}

  const Kind kind;
  const std::optional<std::string> remote;
  /// The push's or pull's refspec; always absent for a fetch.
  const std::optional<std::string> refspec;
  /// The commits that moved, set by the operation once git succeeded.
  int64_t movedCount() const { return movedCount_.load(std::memory_order_acquire); }
  void setMovedCount(int64_t count) { movedCount_.store(count, std::memory_order_release); }
  /// The current branch's upstream remote and upstream reference as git
  /// left them, set by the operation once git succeeded; shown in place of
  /// `remote` and `refspec` when those are absent.
  void setHeadUpstream(std::optional<std::string> remoteName, std::optional<std::string> upstreamName);

  std::string logDescription() const override;
  void prepare(GitOperationHost& host) override;
  std::optional<GitNotificationContent> content() override;

private:
  std::atomic<int64_t> movedCount_{0};
  std::mutex headLock_; // guards headRemote_ and headUpstream_
  std::optional<std::string> headRemote_, headUpstream_;
};

class GitPushNotification : public GitRemoteNotification {
public:
  GitPushNotification(std::optional<std::string> remote, std::optional<std::string> refspec)
      : GitRemoteNotification(Kind::push, std::move(remote), std::move(refspec)) {}
};

class GitFetchNotification : public GitRemoteNotification {
public:
  explicit GitFetchNotification(std::optional<std::string> remote)
      : GitRemoteNotification(Kind::fetch, std::move(remote), std::nullopt) {}
};

class GitPullNotification : public GitRemoteNotification {
public:
  GitPullNotification(std::optional<std::string> remote, std::optional<std::string> refspec)
      : GitRemoteNotification(Kind::pull, std::move(remote), std::move(refspec)) {}
};

} // namespace tavrik
