#include "tavrik/Process/GitRemoteNotifications.h"

#include "tavrik/Queue/GitQueue.h"

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

int64_t currentTotal(GitRemoteNotification::Kind kind, const GitView& view) {
  return kind == GitRemoteNotification::Kind::push ? view.refs.aheadUpstreamTotal() : view.refs.behindUpstreamTotal();
}

} // namespace

std::string GitRemoteNotification::logDescription() const {
  std::string text = std::string(verb(kind)) + " " + remote.value_or("HEAD");
  if (refspec) text += " " + *refspec;
  return text + " (" + std::to_string(totalCount()) + " before)";
}

void GitRemoteNotification::prepare(GitQueue& queue) { setTotalCount(currentTotal(kind, queue.view())); }

std::optional<GitNotificationContent> GitRemoteNotification::content(GitQueue& queue) {
  const GitView view = queue.view();
  const int64_t now = currentTotal(kind, view);
  // A push lowers the ahead total, a pull the behind total; a fetch raises it.
  int64_t count = kind == Kind::fetch ? now - totalCount() : totalCount() - now;
  if (count < 1) return std::nullopt;

  auto headRemote = view.headRemote();
  std::string name = remote ? *remote : headRemote ? headRemote->name : "HEAD";
  std::string detail;
  if (kind != Kind::fetch) {
    if (refspec) detail = *refspec;
    else if (view.refs.head && view.refs.head->upstreamName) detail = *view.refs.head->upstreamName;
  }
  std::string title = std::string(verb(kind)) + " \"" + name + "\"";
  return GitNotificationContent{std::move(title), std::move(detail),
                                std::string(verb(kind)) + " " + std::to_string(count) + " commits"};
}

} // namespace tavrik
