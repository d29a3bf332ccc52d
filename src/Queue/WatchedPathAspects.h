// The watcher's table from a changed path to the aspects of the view it
// touches. Paths are relative to the working tree or to a git directory, as
// inotify names them; nothing here reads the disk, so the table is tested
// with a table of paths.
#pragma once

#include "tavrik/Operation/GitAspects.h"

#include <cstdint>
#include <string_view>

namespace tavrik::detail {

/// The roots the watcher's paths are relative to.
enum class WatchArea : uint8_t { worktree, gitDir, commonDir };

/// What a change at `path` in the worktree's own git directory (`gitDir`) or
/// the common one (`commonDir`) touches; `sharedGitDir` when the two are the
/// same folder. Lock files touch nothing: git renames them into place.
GitAspects gitDirectoryChangeAspects(WatchArea area, std::string_view path, bool sharedGitDir);

/// What a change of one working-tree entry means.
struct WorktreeChange {
  /// Refreshed whatever git ignores.
  GitAspects aspects;
  /// The path counts for status unless git ignores it.
  bool candidate = false;
  /// The ignore rules changed: which folders are ignored must be read again.
  bool rereadIgnores = false;
};

/// `folder` is the watched folder ("" for the root) holding the entry `name`;
/// `inSubmodule` when that folder is another repository's; `appearedFolder`
/// when the entry is a folder that was made or moved in (it counts by the
/// files found in it).
WorktreeChange worktreeChange(std::string_view folder, std::string_view name, bool inSubmodule, bool appearedFolder);

/// The git-directory folders worth a watch, by their parent ("" for the
/// root): not the object database or hooks; of `worktrees/`, each linked
/// worktree's folder but nothing inside it.
bool watchesGitFolder(std::string_view parent, std::string_view name);

} // namespace tavrik::detail
