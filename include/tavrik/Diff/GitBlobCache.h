// Reading blobs by id (`git cat-file blob`) and keeping the recent ones, so
// the diff view does not read the same picture twice. The cache holds at
// most 25 blobs and at most a byte budget (256 MB unless the client sets
// another), dropping the least recently used first.
#pragma once

#include "tavrik/Diff/GitBlob.h"
#include "tavrik/Process/GitExecOperation.h"

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tavrik {

/// git cat-file blob <id>: the blob's bytes.
class GitExecCatFileOperation : public GitExecOperation<std::shared_ptr<const GitBlob>> {
public:
  explicit GitExecCatFileOperation(Oid oid) : oid(oid) {}
  const Oid oid;
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// Throws GitStdError when git cannot read the blob.
  std::shared_ptr<const GitBlob> execute(GitOperationContext& context) override;
};

class GitBlobCache {
public:
  static constexpr size_t kDefaultCountLimit = 25;
  static constexpr size_t kDefaultByteBudget = size_t(256) << 20;

  explicit GitBlobCache(size_t countLimit = kDefaultCountLimit, size_t byteBudget = kDefaultByteBudget);

  /// The process-wide cache, created on first use.
  static GitBlobCache& shared();

  /// The cached blob, or one read now with git in `context` on this thread.
  /// Loads wait for each other, git included, so a blob is read once.
  /// Throws what git's read throws; nothing is stored then. A blob larger
  /// than the byte budget is returned but not kept.
  std::shared_ptr<const GitBlob> loadBlob(const Oid& oid, GitOperationContext& context);

  /// Drops blobs until the new budget holds.
  void setByteBudget(size_t bytes);
  size_t byteBudget() const;
  size_t count() const;
  size_t totalBytes() const;
  void removeAll();

private:
  void trim(); // caller holds lock

  using Entry = std::pair<std::string, std::shared_ptr<const GitBlob>>;
  mutable std::mutex lock; // guards everything below; held while git reads a blob
  const size_t countLimit_;
  size_t byteBudget_;
  size_t totalBytes_ = 0;
  std::list<Entry> recent_; // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

} // namespace tavrik
