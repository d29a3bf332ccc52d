#include "tavrik/History/GitLogWalker.h"

#include "History/CommitGraphWalk.h"
#include "History/GitCommitStream.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Branch.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Operation/GitOperationContext.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/State/GitViewStashesOperation.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/TavrikError.h"

namespace tavrik {

namespace {

std::optional<Oid> headTarget(const arbor::Repo& repo) {
  try {
    if (auto head = arbor::Reference::head(repo)) return head->commitOid();
  } catch (const Error&) {
  }
  return std::nullopt;
}

// The full name of `name` and, when it is a branch with an upstream that
// exists, the upstream's full name.
std::vector<std::string> withUpstream(const std::string& name, const arbor::Repo& repo) {
  std::optional<arbor::Reference> ref;
  try {
    ref = arbor::Reference::dwim(name, repo);
  } catch (const Error&) {
    // git reports an unknown name, and the walk ends there.
    return {name};
  }
  std::vector<std::string> names{ref->name()};
  try {
    if (auto upstream = arbor::Branch(*ref).upstream()) names.push_back(upstream->name());
  } catch (const Error&) {
    // Not a branch, or a branch whose upstream configuration is broken.
  }
  return names;
}

} // namespace

// MARK: - GitLogWalker

std::shared_ptr<GitLogWalker> GitLogWalker::make(GitLogDescriptor descriptor) {
  switch (descriptor.type) {
  case GitLogType::reference: return std::make_shared<GitLogWalkerRefs>(std::move(descriptor));
  case GitLogType::reflog: return std::make_shared<GitLogWalkerReflog>(std::move(descriptor));
  case GitLogType::stash: return std::make_shared<GitLogWalkerStash>(std::move(descriptor));
  }
  return std::make_shared<GitLogWalker>(std::move(descriptor));
}

GitLogWalker::GitLogWalker(GitLogDescriptor descriptor) : descriptor_(std::move(descriptor)) {}

GitLogWalker::~GitLogWalker() { invalidate(); }

void GitLogWalker::setDelegate(std::weak_ptr<GitLogWalkerDelegate> delegate) {
  std::lock_guard lock(delegateLock_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<GitLogWalkerDelegate> GitLogWalker::delegate() const {
  std::lock_guard lock(delegateLock_);
  return delegate_.lock();
}

std::vector<GitLogEntry> GitLogWalker::entries() const {
  std::lock_guard lock(entryLock);
  return _entries;
}

std::vector<GitLogEntry> GitLogWalker::entries(size_t from, size_t to) const {
  std::lock_guard lock(entryLock);
  to = std::min(to, _entries.size());
  if (from >= to) return {};
  return std::vector<GitLogEntry>(_entries.begin() + static_cast<ptrdiff_t>(from),
                                  _entries.begin() + static_cast<ptrdiff_t>(to));
}

size_t GitLogWalker::entryCount() const {
  std::lock_guard lock(entryLock);
  return _entries.size();
}

bool GitLogWalker::invalidated() const {
  std::lock_guard lock(invalidateLock);
  return _invalidated;
}

void GitLogWalker::invalidate() {
  std::lock_guard lock(invalidateLock);
  _invalidated = true;
}

std::optional<GitLogEntry> GitLogWalker::nextEntry(const arbor::Repo&, GitOperationContext&) { return std::nullopt; }

std::optional<GitLogWalker::Candidate> GitLogWalker::nextCandidate(const arbor::Repo& repo, GitOperationContext& context) {
  auto entry = nextEntry(repo, context);
  if (!entry) return std::nullopt;
  return Candidate{std::move(*entry), std::nullopt};
}

bool GitLogWalker::appendEntries(std::vector<GitLogEntry> chunk) {
  std::pair<size_t, size_t> range;
  {
    std::lock_guard lock(entryLock);
    {
      std::lock_guard invalidLock(invalidateLock);
      if (_invalidated) return false;
    }
    range.first = _entries.size();
    _entries.insert(_entries.end(), chunk.begin(), chunk.end());
    range.second = _entries.size();
  }
  if (auto target = delegate()) target->logWalkerDidAppendEntries(*this, chunk, range);
  return true;
}

// MARK: - GitLogWalkerRefs

GitLogWalkerRefs::GitLogWalkerRefs(GitLogDescriptor descriptor) : GitLogWalker(std::move(descriptor)) {
  if (!this->descriptor().hasQuery()) graph_.emplace();
}

GitLogWalkerRefs::~GitLogWalkerRefs() = default;

std::vector<std::string> GitLogWalkerRefs::startingPoints(const GitLogDescriptor& descriptor, const arbor::Repo& repo) {
  const auto& refs = descriptor.refs;
  if (refs.size() > 1) {
    std::vector<std::string> names;
    for (const auto& ref : refs) names.push_back(ref.name);
    return names;
  }
  if (refs.size() == 1) return withUpstream(refs.front().name, repo);
  std::optional<arbor::Branch> branch;
  try {
    branch = arbor::Branch::current(repo);
  } catch (const Error&) {
  }
  if (branch) return withUpstream(branch->reference().name(), repo);
  return {"HEAD"};
}

std::optional<GitLogEntry> GitLogWalkerRefs::nextEntry(const arbor::Repo& repo, GitOperationContext& context) {
  return read(repo, context, nullptr);
}

std::optional<GitLogWalker::Candidate> GitLogWalkerRefs::nextCandidate(const arbor::Repo& repo,
                                                                        GitOperationContext& context) {
  std::vector<arbor::TreeChange> changes;
  auto entry = read(repo, context, &changes);
  if (!entry) return std::nullopt;
  Candidate candidate{std::move(*entry), std::nullopt};
  if (listsChanges_) candidate.changes = std::move(changes);
  return candidate;
}

std::optional<GitLogEntry> GitLogWalkerRefs::read(const arbor::Repo& pageRepo, GitOperationContext& context,
                                                  std::vector<arbor::TreeChange>* changes) {
  // The repository stays open from page to page, its object database warm.
  if (!repo_) repo_ = pageRepo;
  const arbor::Repo& repo = *repo_;
  if (!started_) {
    started_ = true;
    const auto& query = descriptor().query;
    listsChanges_ = query && (query->subject.contains(GitQuerySubject::diff) ||
                              query->subject.contains(GitQuerySubject::filename));
    if (!listsChanges_) {
      startingPoints_ = startingPoints(descriptor(), repo);
      graphWalk_ = graphWalk(repo, startingPoints_);
    }
    if (!graphWalk_) {
      // git's own tree comparison is far faster than reading the trees
      // here, and it runs beside the search, in its own process. git starts
      // up while the starting points are worked out.
      stream_ = std::make_unique<detail::GitCommitStream>(context, listsChanges_);
      stream_->start(listsChanges_ ? startingPoints(descriptor(), repo) : startingPoints_);
    }
    headTarget_ = headTarget(repo);
  }
  std::optional<arbor::Commit> commit;
  if (graphWalk_ && graphIds_.size() < kGraphRows) {
    auto id = graphWalk_->next();
    if (!id) return std::nullopt;
    graphIds_.push_back(*id);
    commit = arbor::Commit::lookup(*id, repo);
  } else {
    if (graphWalk_) takeOverFromGraph(context);
    commit = stream_->next(changes);
    if (!commit) return std::nullopt;
  }
  auto entry = GitLogEntry::fromCommit(*commit, sharedDescriptor());
  entry.isHeadCommit = headTarget_ == commit->id;
  if (graph_) entry.graphLaneRow = graph_->insert(GraphCommit{commit->id, commit->parentIds});
  return entry;
}

std::unique_ptr<detail::CommitGraphWalk> GitLogWalkerRefs::graphWalk(const arbor::Repo& repo,
                                                                     const std::vector<std::string>& names) {
  auto graph = detail::CommitGraph::open(repo);
  if (!graph) return nullptr;
  std::vector<Oid> tips;
  try {
    for (const auto& name : names) {
      auto ref = name == "HEAD" ? arbor::Reference::head(repo) : std::optional(arbor::Reference::dwim(name, repo));
      if (!ref || !ref->commitOid()) return nullptr;
      tips.push_back(*ref->commitOid());
    }
  } catch (const Error&) {
    // git reports what cannot be resolved; the stream shows it.
    return nullptr;
  }
  auto walk = detail::CommitGraphWalk::start(std::move(graph), tips);
  return walk ? std::make_unique<detail::CommitGraphWalk>(std::move(*walk)) : nullptr;
}

void GitLogWalkerRefs::takeOverFromGraph(GitOperationContext& context) {
  graphWalk_.reset();
  stream_ = std::make_unique<detail::GitCommitStream>(context, false);
  stream_->start(startingPoints_);
  for (const auto& id : graphIds_) {
    auto commit = stream_->next();
    if (!commit || commit->id != id)
      throw TavrikError::fromErrno(EBADMSG, "git log disagrees with the commit-graph walk at " + id.string());
  }
  graphIds_.clear();
  graphIds_.shrink_to_fit();
}

// MARK: - GitLogWalkerReflog

GitLogWalkerReflog::GitLogWalkerReflog(GitLogDescriptor descriptor) : GitLogWalker(std::move(descriptor)) {}

std::optional<GitLogEntry> GitLogWalkerReflog::nextEntry(const arbor::Repo& repo, GitOperationContext&) {
  if (!reflog_) {
    reflog_ = arbor::Reflog::read(descriptor().reflogName.value_or("HEAD"), repo);
    headTarget_ = headTarget(repo);
  }
  while (index_ < reflog_->count()) {
    const auto& record = reflog_->entry(index_++);
    // An entry that records a deletion, or whose commit was pruned, has no
    // row; the entries after it still do. A commit that is there but cannot
    // be read is an error, not a missing row.
    if (record.newId.isZero()) continue;
    std::optional<arbor::Commit> commit;
    try {
      commit = arbor::Commit::lookup(record.newId, repo);
    } catch (const arbor::Error& error) {
      if (error.code() != arbor::Error::Code::notFound) throw;
      continue;
    }
    auto entry = GitLogEntry::fromCommit(*commit, sharedDescriptor());
    entry.isHeadCommit = headTarget_ == commit->id;
    return entry;
  }
  return std::nullopt;
}

// MARK: - GitLogWalkerStash

GitLogWalkerStash::GitLogWalkerStash(GitLogDescriptor descriptor) : GitLogWalker(std::move(descriptor)) {}

std::optional<GitLogEntry> GitLogWalkerStash::nextEntry(const arbor::Repo&, GitOperationContext& context) {
  if (!logEntries_) {
    logEntries_.emplace();
    if (context.queue) {
      // Read fresh when the walk starts: the view's list may predate the
      // latest stash or drop.
      const auto stashes = makeOperation<GitViewStashesOperation>()->execute(context);
      for (const auto& stash : stashes.entries) {
        GitLogEntry entry;
        entry.id = stash.oid;
        entry.tree = stash.tree;
        entry.parents = stash.parents;
        entry.message = stash.message;
        entry.author = stash.author;
        entry.committer = stash.committer;
        entry.descriptor = sharedDescriptor();
        entry.stashEntry = stash;
        logEntries_->push_back(std::move(entry));
      }
    }
  }
  if (next_ >= logEntries_->size()) return std::nullopt;
  return (*logEntries_)[next_++];
}

} // namespace tavrik
