// The rows of a history list, produced page by page. A client makes the
// walker that matches its descriptor (`GitLogWalker::make`) and runs a
// `GitLogWalkerOperation` on the repository's queue each time it wants
// another page; every run appends rows and tells the delegate which arrived.
//
//   auto walker = GitLogWalker::make(descriptor);
//   walker->setDelegate(myDelegate);
//   makeOperation<GitLogWalkerOperation>(walker, 500)->enqueue(queue);
//
// Reference walks read their commits from one git child that stays open
// between pages (so the first page of a huge history comes at once, in git's
// own "--topo-order --date-order" order); reflog and stash walks read the
// object database.
//
// Threads: page runs of one walker are strictly sequential (`iterLock`);
// `entries`, `invalidated` and `invalidate` may be called from any thread.
// Lock order: `entryLock` before `invalidateLock`.
#pragma once

#include "tavrik/History/GitLogDescriptor.h"
#include "tavrik/History/GitLogEntry.h"
#include "tavrik/History/Graph.h"
#include "tavrik/Interfaces/Reflog.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Interfaces/Tree.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tavrik {

class GitLogWalker;
class GitOperationContext;
namespace detail {
class GitCommitStream;
class CommitGraphWalk;
}

class GitLogWalkerDelegate {
public:
  virtual ~GitLogWalkerDelegate() = default;
  /// `entries` were just appended at the half-open positions `range` of the
  /// walker's entries. Called on the page run's thread, with no lock held.
  virtual void logWalkerDidAppendEntries(GitLogWalker& walker, const std::vector<GitLogEntry>& entries,
                                         std::pair<size_t, size_t> range) = 0;
};

class GitLogWalker {
public:
  /// The walker for `descriptor`'s type.
  static std::shared_ptr<GitLogWalker> make(GitLogDescriptor descriptor);

  explicit GitLogWalker(GitLogDescriptor descriptor);
  /// Releasing a walker invalidates it.
  virtual ~GitLogWalker();
  GitLogWalker(const GitLogWalker&) = delete;
  GitLogWalker& operator=(const GitLogWalker&) = delete;

  const GitLogDescriptor& descriptor() const { return *descriptor_; }
  /// The descriptor as the rows share it.
  const SharedValue<GitLogDescriptor>& sharedDescriptor() const { return descriptor_; }

  void setDelegate(std::weak_ptr<GitLogWalkerDelegate> delegate);
  std::shared_ptr<GitLogWalkerDelegate> delegate() const;

  /// All rows so far, in order (a copy).
  std::vector<GitLogEntry> entries() const;
  /// The rows at the half-open positions [from, to), clamped to the count.
  std::vector<GitLogEntry> entries(size_t from, size_t to) const;
  size_t entryCount() const;

  bool invalidated() const;
  /// Ends the walk for good: no more rows are produced or accepted.
  void invalidate();

  /// The next row, nullopt at the end. Throws what reading the repository
  /// throws. Called only inside a page run (under `iterLock`).
  virtual std::optional<GitLogEntry> nextEntry(const arbor::Repo& repo, GitOperationContext& context);

  /// Appends `chunk` and tells the delegate, unless the walker is
  /// invalidated (then the chunk is dropped). Returns whether it was appended.
  bool appendEntries(std::vector<GitLogEntry> chunk);

  /// The next row with, when the walk knows it without reading the trees,
  /// what its commit changed; used by searches. The base: `nextEntry`.
  struct Candidate {
    GitLogEntry entry;
    std::optional<std::vector<arbor::TreeChange>> changes;
  };
  virtual std::optional<Candidate> nextCandidate(const arbor::Repo& repo, GitOperationContext& context);

  /// Commits looked at by search runs so far (matched or not), for progress.
  size_t searchedCount() const { return searched_.load(std::memory_order_relaxed); }

  /// Held for a whole page run.
  std::mutex iterLock;

protected:
  friend class GitLogWalkerOperation;
  /// Search matches found beyond the last run's limit, delivered first by
  /// the next run. Guarded by iterLock.
  std::vector<GitLogEntry> carriedMatches_;
  std::atomic<size_t> searched_{0};

private:
  SharedValue<GitLogDescriptor> descriptor_;
  mutable std::mutex delegateLock_; // guards delegate_
  std::weak_ptr<GitLogWalkerDelegate> delegate_;
  mutable std::mutex entryLock; // guards _entries
  std::vector<GitLogEntry> _entries;
  mutable std::mutex invalidateLock; // guards _invalidated
  bool _invalidated = false;
};

/// The history of references: the descriptor's references (one reference
/// with its upstream), or HEAD's branch with its upstream, or HEAD.
class GitLogWalkerRefs : public GitLogWalker {
public:
  explicit GitLogWalkerRefs(GitLogDescriptor descriptor);
  ~GitLogWalkerRefs() override;

  std::optional<GitLogEntry> nextEntry(const arbor::Repo& repo, GitOperationContext& context) override;
  /// A search that looks at changes has git list them with the commits.
  std::optional<Candidate> nextCandidate(const arbor::Repo& repo, GitOperationContext& context) override;

  /// The revisions the walk starts from, as full reference names or ids.
  static std::vector<std::string> startingPoints(const GitLogDescriptor& descriptor, const arbor::Repo& repo);

private:
  /// Rows taken from the commit-graph walk before git's stream takes over:
  /// enough for the first pages, few enough that looking commits up one by
  /// one stays cheaper than git printing them.
  static constexpr size_t kGraphRows = 1000;

  std::optional<GitLogEntry> read(const arbor::Repo& repo, GitOperationContext& context,
                                  std::vector<arbor::TreeChange>* changes);
  static std::unique_ptr<detail::CommitGraphWalk> graphWalk(const arbor::Repo& repo,
                                                            const std::vector<std::string>& names);
  void takeOverFromGraph(GitOperationContext& context);

  std::unique_ptr<detail::GitCommitStream> stream_;
  // The first rows of a plain walk come from git's commit-graph file when
  // there is one; `graphIds_` are the ids it gave, which git's stream must
  // repeat before it takes over.
  std::unique_ptr<detail::CommitGraphWalk> graphWalk_;
  std::vector<Oid> graphIds_;
  std::vector<std::string> startingPoints_;
  std::optional<arbor::Repo> repo_;
  bool started_ = false;
  bool listsChanges_ = false;
  std::optional<Oid> headTarget_;
  /// Absent for searches, which show no lanes.
  std::optional<Graph> graph_;
};

/// The entries of one reflog ("HEAD" when the descriptor names none), in
/// the reflog's own order, newest first.
class GitLogWalkerReflog : public GitLogWalker {
public:
  explicit GitLogWalkerReflog(GitLogDescriptor descriptor);

  std::optional<GitLogEntry> nextEntry(const arbor::Repo& repo, GitOperationContext& context) override;

private:
  size_t index_ = 0;
  std::optional<arbor::Reflog> reflog_;
  std::optional<Oid> headTarget_;
};

/// The repository's stashes, newest first, read once when the walk starts
/// (not taken from the queue's view).
class GitLogWalkerStash : public GitLogWalker {
public:
  explicit GitLogWalkerStash(GitLogDescriptor descriptor);

  std::optional<GitLogEntry> nextEntry(const arbor::Repo& repo, GitOperationContext& context) override;

private:
  std::optional<std::vector<GitLogEntry>> logEntries_;
  size_t next_ = 0;
};

} // namespace tavrik
