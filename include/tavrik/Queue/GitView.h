// The queue's cached snapshot of a repository: what the client draws without
// asking git. The queue stores each reader's record in its field, and uses
// `changedAspects` to tell observers which parts really changed.
#pragma once

#include "tavrik/History/GitLogDescriptor.h"
#include "tavrik/Operation/GitAspects.h"
#include "tavrik/State/GitConfigSnapshot.h"
#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitReflogList.h"
#include "tavrik/State/GitStashEntry.h"
#include "tavrik/State/GitStatusEntry.h"
#include "tavrik/State/GitSubmodule.h"
#include "tavrik/State/GitWorktree.h"
#include "tavrik/Util/SharedValue.h"

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tavrik {

struct GitView {
  GitHeadList headList;
  /// Absent until the first status refresh. Shared, not copied, between
  /// copies of the view: the list can hold a hundred thousand entries.
  SharedValue<GitStatusList> status;
  /// Absent until the first refs refresh; shared like `status`, since every
  /// store, result and waiter would otherwise copy each reference's names.
  SharedValue<GitRefList> refs;
  GitReflogList reflogs;
  GitLogDescriptor logDescriptor;
  GitStashList stashList;
  /// Never replaced in place; a null pointer reads as a snapshot without values.
  std::shared_ptr<const GitConfigSnapshot> config;
  std::vector<GitSubmodule> submodules;
  /// The repository's working trees, the main one first.
  std::vector<GitWorktree> worktrees;

  /// The view a new queue starts with: no state files and state none, three
  /// empty heads, no status, no refs, reflogs or stashes, a reference log
  /// descriptor without refs or query, an empty configuration, no submodules, no worktrees.
  static GitView empty();

  /// The remote of HEAD's branch's upstream, looked up in `config`.
  std::optional<GitRemote> headRemote() const;

  /// Field by field; `config` by its values.
  bool operator==(const GitView& other) const;
};

/// The aspects whose part differs between two views: head (any head-list
/// field), status, refs, reflogs, logDescriptor, stashes, stateFiles (state
/// files or state; always together with head), config (by values),
/// submodules, worktrees.
GitAspects changedAspects(const GitView& oldView, const GitView& newView);

} // namespace tavrik

template <> struct std::hash<tavrik::GitView> {
  size_t operator()(const tavrik::GitView& v) const noexcept;
};
