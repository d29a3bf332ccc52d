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
// When every changed path is a tracked file git would compare byte for byte
// (one plain entry, no flags, no attributes that convert, line-end
// conversion off) and the index and HEAD are those of the last list, no
// status runs at all: the reader compares each file with the repository's
// index itself, as git does (stat data, else the content's id), and keeps
// the last list's index column. The index is read once per version of the
// file and held open between refreshes; it is never written.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitStatusEntry.h"
#include "tavrik/Util/SharedValue.h"

#include <set>
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
  /// 0, and 1 for the configuration query (no key matched).
  std::set<int> successStatuses() const override;
  bool storesResultInView() const override { return true; }
  /// The monitor's "-c" settings for a monitored run (decided by
  /// `environment`), "status", "-z", ["--ignored"], "--porcelain=v2", then the untracked,
  /// rename and stash-header settings pinned against the user's configuration;
  /// for a run limited to changed paths, "-c core.fsmonitor=false" first and
  /// "--" and the paths last; "config -z --get-regexp ^core\\." while the
  /// in-process comparison asks for its settings.
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
  struct Memo;
  SharedValue<GitStatusList> readWhole(GitOperationContext& context, const Url& worktree);
  /// nullopt when the changes need a whole run.
  SharedValue<GitStatusList> readChanges(GitOperationContext& context, const std::shared_ptr<const GitStatusList>& base,
                                         const std::vector<std::string>& files,
                                         const std::vector<std::string>& folders, const Url& worktree);

  /// nullopt when a changed path needs git; `next` gets the index read.
  SharedValue<GitStatusList> readInProcess(GitOperationContext& context, const Memo& memo,
                                           const std::vector<std::string>& files,
                                           const std::vector<std::string>& folders,
                                           const GitRepositoryDescriptor& descriptor, Memo& next);

  std::vector<GitStatusEntry> entries;
  // Set while git is asked for the configuration the comparison depends on.
  bool configQuery_ = false;
  // The pathspec of a limited run; empty for a whole one.
  std::vector<std::string> limitedPathspec_;
  // Set by `environment` for the run about to start.
  std::vector<std::string> monitorArguments_;
};

} // namespace tavrik
