#include "tavrik/Process/GitRemoteNotifications.h"

namespace tavrik {

namespace {

const char* verb(GitRemoteNotification::Kind kind) {
  switch (kind) {
  case GitRemoteNotification::Kind::push: return "Pushed";
  case GitRemoteNotification::Kind::fetch: return "Fetched";
  case GitRemoteNotification::Kind::pull: return "Pulled";
  }
  return "";
}

} // namespace

std::string GitRemoteNotification::logDescription() const {
  std::string text = std::string(verb(kind)) + " " + remote.value_or("HEAD");
  if (refspec) text += " " + *refspec;
  return text + " (" + std::to_string(movedCount()) + " moved)";
}

// The count is the operation's to set: it alone sees the refs before and after git.
void GitRemoteNotification::prepare(GitOperationHost&) {}

void GitRemoteNotification::setHeadUpstream(std::optional<std::string> remoteName,
                                            std::optional<std::string> upstreamName) {
  std::lock_guard lock(headLock_);
  headRemote_ = std::move(remoteName);
  headUpstream_ = std::move(upstreamName);
}

std::optional<GitNotificationContent> GitRemoteNotification::content() {
  const int64_t count = movedCount();
  if (count < 1) return std::nullopt;

  std::lock_guard lock(headLock_);
  std::string name = remote ? *remote : headRemote_ ? *headRemote_ : "HEAD";
  std::string detail;
  if (kind != Kind::fetch) {
    if (refspec) detail = *refspec;
    else if (headUpstream_) detail = *headUpstream_;
  }
  std::string title = std::string(verb(kind)) + " \"" + name + "\"";
  return GitNotificationContent{std::move(title), std::move(detail),
                                std::string(verb(kind)) + " " + std::to_string(count) + " commits"};
}

} // namespace tavrik
