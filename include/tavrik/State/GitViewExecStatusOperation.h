// The status reader: runs `git status -z --porcelain=v2`, turns every record
// into a GitStatusEntry, sorts the entries by path, stamps each with its
// file's modification date and returns them; run on a queue, the list
// becomes the view's `status`. It holds
// the queue's index lock for its whole run, like the commands that write the
// index, so it never reads a half-written index of its own queue.
//
// While a watcher serves the working tree, a refresh builds on the list the
// reader read last: when the watcher can name every file changed since that
// list was begun and nothing else changed (see FsmonitorJournal), git runs on
// those paths alone and its answer replaces their entries in a new list.
// Whatever a limited run could answer differently from a whole one (an
// untracked folder git shows as one entry, a rename, a submodule, an
// intent-to-add file, an ignore or attributes file) reads the whole tree.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitStatusEntry.h"
#include "tavrik/Util/SharedValue.h"

#include <vector>

namespace tavrik {

/// How the status reader reads.
struct GitStatusReadOptions {
  /// Adds "--ignored", so ignored files are listed too.
  bool includeIgnored = false;
  /// Each entry gets its file's modification date. That is one file-system
  /// lookup per entry, which a listing that shows no dates (a terminal's)
  /// can spare; a list without dates is never the base of a refresh on
  /// changed paths.
  bool modificationDates = true;
};

class GitViewExecStatusOperation : public GitExecOperation<SharedValue<GitStatusList>> {
public:
  explicit GitViewExecStatusOperation(GitStatusReadOptions options)
      : includeIgnored(options.includeIgnored), modificationDates(options.modificationDates) {}
  explicit GitViewExecStatusOperation(bool includeIgnored = false)
      : GitViewExecStatusOperation(GitStatusReadOptions{.includeIgnored = includeIgnored}) {}

  /// Adds "--ignored", so ignored files are listed too.
  const bool includeIgnored;
  /// Entries carry their files' modification dates.
  const bool modificationDates;

  bool needsIndexLock() const override { return true; }
  /// The monitor's settings, when a watcher serves the repository, then
  /// the base environment's.
  std::map<std::string, std::string> environment(GitOperationContext& context) override;
  /// `write` for a monitored run, which writes its private index (and never
  /// the repository's); `read` otherwise.
  GitExecAccess access() const override;
  bool storesResultInView() const override { return true; }
  /// The monitor's "-c" settings for a monitored run (decided by
  /// `environment`), "status", "-z", ["--ignored"], "--porcelain=v2", then the untracked,
  /// rename and stash-header settings pinned against the user's configuration;
  /// for a run limited to changed paths, "-c core.fsmonitor=false" first and
  /// "--" and the paths last.
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The entries, shared rather than copied into the view. Without a
  /// repository, or for a bare one, no git runs and the list is absent:
  /// nothing was read, and the view keeps what it has. Throws GitStdError when git fails; the view is then
  /// untouched.
  SharedValue<GitStatusList> execute(GitOperationContext& context) override;

  /// Sorts entries by path (absent paths as ""), in place and without a second
  /// copy of the entries.
  static void sortByPath(std::vector<GitStatusEntry>& entries);
  /// Sets the modification date of every entry with a `newPath` from the file
  /// under `worktree` (a symbolic link's own, not its target's); a file that
  /// cannot be examined keeps no date.
  static void stampModificationDates(std::vector<GitStatusEntry>& entries, const Url& worktree);

private:
  SharedValue<GitStatusList> readWhole(GitOperationContext& context, const Url& worktree);
  /// nullopt when the changes need a whole run.
  SharedValue<GitStatusList> readChanges(GitOperationContext& context, const std::shared_ptr<const GitStatusList>& base,
                                         const std::vector<std::string>& files,
                                         const std::vector<std::string>& folders, const Url& worktree);

  std::vector<GitStatusEntry> entries;
  // The pathspec of a limited run; empty for a whole one.
  std::vector<std::string> limitedPathspec_;
  // Set by `environment` for the run about to start.
  std::vector<std::string> monitorArguments_;
};

} // namespace tavrik
