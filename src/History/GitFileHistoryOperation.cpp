#include "tavrik/History/GitFileHistoryOperation.h"

#include "History/GitCommitStream.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>

namespace tavrik {

namespace detail {

// The rows of one file's history from a git child that stays open, and the
// path the file had at the last row (git's --follow state, which decides the
// path of a row that lists no change).
class FileHistoryStream {
public:
  FileHistoryStream(GitOperationContext& context, const std::string& path,
                    const std::optional<std::string>& revision, std::optional<size_t> maxCount)
      : stream_(context, GitCommitStream::followArguments(path, maxCount), true), followed_(path) {
    stream_.start({revision.value_or("HEAD")});
  }

  std::optional<GitFileHistoryEntry> next() {
    changes_.clear();
    auto commit = stream_.next(&changes_);
    if (!commit) return std::nullopt;
    GitFileHistoryEntry row;
    row.entry = GitLogEntry::fromCommit(*commit, {});
    row.path = followed_;
    // git lists the followed file's change; a merge that did not touch it
    // lists none.
    if (!changes_.empty()) {
      auto& change = changes_.front();
      row.change = change.kind;
      row.path = std::move(change.path);
      if (change.kind == arbor::TreeChange::Kind::renamed || change.kind == arbor::TreeChange::Kind::copied) {
        followed_ = change.oldPath;
        row.oldPath = std::move(change.oldPath);
      }
    }
    return row;
  }

private:
  GitCommitStream stream_;
  std::string followed_;
  std::vector<arbor::TreeChange> changes_;
};

} // namespace detail

GitFileHistoryOperation::GitFileHistoryOperation(std::string path, GitFileHistoryOptions options)
    : path(std::move(path)), options(std::move(options)) {}

std::vector<GitFileHistoryEntry> GitFileHistoryOperation::execute(GitOperationContext& context) {
  if (options.revision) TavrikError::refuseOptionLikeRevision(*options.revision);
  if (options.limit == size_t(0)) return {};
  // With --follow git's --skip counts commits before it has looked for the
  // file, and gives rows twice; the rows skipped are read and dropped.
  std::optional<size_t> count;
  if (options.limit) count = options.skip + *options.limit;
  detail::FileHistoryStream stream(context, path, options.revision, count);
  std::vector<GitFileHistoryEntry> rows;
  for (size_t index = 0;; ++index) {
    auto row = stream.next();
    if (!row) break;
    if (index >= options.skip) rows.push_back(std::move(*row));
  }
  return rows;
}

GitFileHistoryWalker::GitFileHistoryWalker(std::string path, std::optional<std::string> revision)
    : path(std::move(path)), revision(std::move(revision)) {}

GitFileHistoryWalker::~GitFileHistoryWalker() = default;

std::vector<GitFileHistoryEntry> GitFileHistoryWalker::entries() const {
  std::lock_guard lock(entryLock_);
  return entries_;
}

size_t GitFileHistoryWalker::entryCount() const {
  std::lock_guard lock(entryLock_);
  return entries_.size();
}

bool GitFileHistoryWalker::finished() const {
  std::lock_guard lock(entryLock_);
  return finished_;
}

GitFileHistoryPageOperation::GitFileHistoryPageOperation(std::shared_ptr<GitFileHistoryWalker> walker,
                                                         size_t pageSize)
    : walker(std::move(walker)), pageSize(pageSize) {}

std::vector<GitFileHistoryEntry> GitFileHistoryPageOperation::execute(GitOperationContext& context) {
  GitFileHistoryWalker& w = *walker;
  std::lock_guard page(w.pageLock_);
  if (w.finished()) return {};
  std::vector<GitFileHistoryEntry> rows;
  bool end = false;
  try {
    if (!w.stream_) {
      if (w.revision) TavrikError::refuseOptionLikeRevision(*w.revision);
      w.stream_ = std::make_unique<detail::FileHistoryStream>(context, w.path, w.revision, std::nullopt);
    }
    while (rows.size() < pageSize) {
      auto row = w.stream_->next();
      if (!row) {
        end = true;
        break;
      }
      rows.push_back(std::move(*row));
    }
  } catch (...) {
    w.stream_.reset();
    std::lock_guard lock(w.entryLock_);
    w.finished_ = true;
    throw;
  }
  // git has finished: its child is reaped now rather than with the walker.
  if (end) w.stream_.reset();
  std::lock_guard lock(w.entryLock_);
  w.entries_.insert(w.entries_.end(), rows.begin(), rows.end());
  w.finished_ = end;
  return rows;
}

std::vector<std::string> GitWriteCommitGraphOperation::arguments(GitOperationContext&) {
  return {"commit-graph", "write", "--reachable", "--changed-paths"};
}

pledge::Void GitWriteCommitGraphOperation::execute(GitOperationContext& context) {
  runCommand(context);
  return {};
}

} // namespace tavrik
