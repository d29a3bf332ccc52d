#include "tavrik/Queue/GitView.h"

#include "tavrik/Util/HashCombine.h"

namespace tavrik {

GitView GitView::empty() {
  GitView view;
  view.headList.stateFiles = GitStateFileSet::fromFiles({});
  view.logDescriptor = GitLogDescriptor{GitLogType::reference, {}, std::nullopt, std::nullopt, false};
  view.config = GitConfigSnapshot::empty();
  return view;
}

std::optional<GitRemote> GitView::headRemote() const {
  if (!refs || !refs->head || !refs->head->upstreamRemote || !config) return std::nullopt;
  return config->remoteList().lookup(*refs->head->upstreamRemote);
}

bool GitView::operator==(const GitView& other) const {
  return headList == other.headList && status == other.status && refs == other.refs && reflogs == other.reflogs &&
         logDescriptor == other.logDescriptor && stashList == other.stashList &&
         sameConfigValues(config, other.config) && submodules == other.submodules &&
         worktrees == other.worktrees;
}

GitAspects changedAspects(const GitView& oldView, const GitView& newView) {
  GitAspects changed;
  if (oldView.headList != newView.headList) changed.insert(GitAspects::head);
  if (oldView.status != newView.status)
    changed.insert(GitAspects::status);
  if (oldView.refs != newView.refs) changed.insert(GitAspects::refs);
  if (oldView.reflogs.names != newView.reflogs.names) changed.insert(GitAspects::reflogs);
  if (oldView.logDescriptor != newView.logDescriptor) changed.insert(GitAspects::logDescriptor);
  if (oldView.stashList.entries != newView.stashList.entries) changed.insert(GitAspects::stashes);
  if (oldView.headList.stateFiles.set != newView.headList.stateFiles.set ||
      oldView.headList.stateFiles.state != newView.headList.stateFiles.state)
    changed.insert(GitAspects::stateFiles);
  if (!sameConfigValues(oldView.config, newView.config)) changed.insert(GitAspects::config);
  if (oldView.submodules != newView.submodules) changed.insert(GitAspects::submodules);
  if (oldView.worktrees != newView.worktrees) changed.insert(GitAspects::worktrees);
  return changed;
}

} // namespace tavrik

size_t std::hash<tavrik::GitView>::operator()(const tavrik::GitView& v) const noexcept {
  using tavrik::detail::hashMix;
  using tavrik::detail::hashOf;
  size_t seed = tavrik::detail::hashFields(v.headList, v.status, v.refs, v.reflogs, v.logDescriptor, v.stashList,
                                           v.submodules, v.worktrees);
  // A null snapshot equals an empty one, and an empty map hashes alike either way.
  static const std::map<std::string, std::string> kNone;
  return hashMix(seed, hashOf(v.config ? v.config->values() : kNone));
}
