#include "Queue/WatchedPathAspects.h"

#include "tavrik/State/GitStateFile.h"

#include <string>
#include <unordered_set>

namespace tavrik::detail {

namespace {

std::string_view firstComponent(std::string_view path) { return path.substr(0, path.find('/')); }

bool isStateMarker(std::string_view name) {
  static const std::unordered_set<std::string> markers = [] {
    std::unordered_set<std::string> names{"MERGE_HEAD", "MERGE_MODE", "CHERRY_PICK_HEAD", "REVERT_HEAD",
                                          "BISECT_START", "BISECT_TERMS", "BISECT_EXPECTED_REV"};
    for (auto type : kAllGitStateFileTypes) {
      std::string raw(rawValue(type));
      if (!raw.empty() && raw.back() == '/') raw.pop_back();
      names.insert(raw.substr(0, raw.find('/')));
    }
    return names;
  }();
  return markers.count(std::string(name)) != 0;
}

const GitAspects kHeadAndRefs{GitAspects::refs, GitAspects::head};
const GitAspects kHeadAndState{GitAspects::head, GitAspects::stateFiles};
const GitAspects kStatusAndSubmodules{GitAspects::status, GitAspects::submodules};

GitAspects topLevelAspects(std::string_view name, bool isPrivate, bool isCommon) {
  GitAspects aspects;
  if (name == "HEAD") {
    if (isPrivate) aspects.insert(kHeadAndState);
    if (isCommon) aspects.insert(kHeadAndRefs);
  } else if (name == "index") {
    if (isPrivate) aspects.insert(GitAspects::status);
  } else if (name == "packed-refs") {
    if (isCommon) aspects.insert(kHeadAndRefs);
  } else if (name == "config" || name == "config.worktree") {
    aspects.insert(GitAspects::config);
  } else if (name == "refs") {
    aspects.insert(kHeadAndRefs);
  } else if (name == "logs") {
    aspects.insert(GitAspects::reflogs);
  } else if (name == "modules") {
    aspects.insert(GitAspects::submodules);
  } else if (name == "worktrees") {
    if (isCommon) aspects.insert(GitAspects::worktrees);
  } else if (isPrivate && isStateMarker(name)) {
    aspects.insert(kHeadAndState);
  }
  return aspects;
}

// "NAME" or "NAME/FILE" below the common directory's worktrees/: a worktree
// added, removed or moved, locked or unlocked, or its HEAD moved. Its index
// and logs are that worktree's own business.
GitAspects linkedWorktreeAspects(std::string_view rest) {
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return GitAspects::worktrees;
  const std::string_view file = rest.substr(slash + 1);
  if (file == "HEAD" || file == "locked" || file == "gitdir") return GitAspects::worktrees;
  return {};
}

} // namespace

GitAspects gitDirectoryChangeAspects(WatchArea area, std::string_view path, bool sharedGitDir) {
  if (area == WatchArea::worktree || path.empty() || path.ends_with(".lock")) return {};
  const bool isPrivate = area == WatchArea::gitDir;
  const bool isCommon = area == WatchArea::commonDir || sharedGitDir;
  auto top = firstComponent(path);
  if (top == path) return topLevelAspects(path, isPrivate, isCommon);
  if (top == "refs") return path == "refs/stash" ? GitAspects::stashes : kHeadAndRefs;
  if (top == "logs")
    return path == "logs/refs/stash" ? GitAspects{GitAspects::stashes, GitAspects::reflogs} : GitAspects::reflogs;
  if (top == "info") return GitAspects::status;
  if (top == "modules") return GitAspects{GitAspects::submodules, GitAspects::status};
  if (top == "worktrees") return isCommon ? linkedWorktreeAspects(path.substr(top.size() + 1)) : GitAspects{};
  if (isPrivate && isStateMarker(top)) return kHeadAndState;
  return {};
}

WorktreeChange worktreeChange(std::string_view folder, std::string_view name, bool inSubmodule, bool appearedFolder) {
  if (name == ".git") {
    // The repository's own git directory (or a linked worktree's link)
    // changes nothing here; one made or removed deeper turns its folder into
    // another repository, which status shows differently.
    if (folder.empty()) return {};
    return {.aspects = kStatusAndSubmodules};
  }
  if (name == ".gitmodules.lock") return {};
  if (inSubmodule) return {.aspects = kStatusAndSubmodules};
  if (name == ".gitignore") return {.aspects = GitAspects::status, .candidate = false, .rereadIgnores = true};
  if (folder.empty() && name == ".gitmodules") return {.aspects = kStatusAndSubmodules};
  return {.aspects = {}, .candidate = !appearedFolder};
}

bool watchesGitFolder(std::string_view parent, std::string_view name) {
  if (parent.empty())
    return name == "refs" || name == "logs" || name == "info" || name == "modules" || name == "rebase-merge" ||
           name == "rebase-apply" || name == "sequencer" || name == "worktrees";
  // Each linked worktree's folder, not the folders inside it.
  if (parent == "worktrees") return true;
  if (firstComponent(parent) == "worktrees") return false;
  if (firstComponent(parent) == "modules") return name != "objects" && name != "hooks";
  return true;
}

} // namespace tavrik::detail
