#include "tavrik/Diff/GitBlobCache.h"

namespace tavrik {

std::vector<std::string> GitExecCatFileOperation::arguments(GitOperationContext&) {
  return {"cat-file", "blob", oid.string()};
}

std::shared_ptr<const GitBlob> GitExecCatFileOperation::execute(GitOperationContext& context) {
  runCommand(context);
  return std::make_shared<GitBlob>(oid, stdOutBuffer->data());
}

GitBlobCache::GitBlobCache(size_t countLimit, size_t byteBudget) : countLimit_(countLimit), byteBudget_(byteBudget) {}

GitBlobCache& GitBlobCache::shared() {
  // Never destroyed: operation threads may still load while the process exits.
  static auto* cache = new GitBlobCache();
  return *cache;
}

std::shared_ptr<const GitBlob> GitBlobCache::loadBlob(const Oid& oid, GitOperationContext& context) {
  std::lock_guard guard(lock);
  const std::string key = oid.string();
  if (auto found = index_.find(key); found != index_.end()) {
    recent_.splice(recent_.begin(), recent_, found->second);
    return found->second->second;
  }
  auto blob = makeOperation<GitExecCatFileOperation>(oid)->execute(context);
  if (blob->count() > byteBudget_) return blob;
  recent_.emplace_front(key, blob);
  index_[key] = recent_.begin();
  totalBytes_ += blob->count();
  trim();
  return blob;
}

void GitBlobCache::trim() {
  while (!recent_.empty() && (recent_.size() > countLimit_ || totalBytes_ > byteBudget_)) {
    totalBytes_ -= recent_.back().second->count();
    index_.erase(recent_.back().first);
    recent_.pop_back();
  }
}

void GitBlobCache::setByteBudget(size_t bytes) {
  std::lock_guard guard(lock);
  byteBudget_ = bytes;
  trim();
}

size_t GitBlobCache::byteBudget() const {
  std::lock_guard guard(lock);
  return byteBudget_;
}

size_t GitBlobCache::count() const {
  std::lock_guard guard(lock);
  return recent_.size();
}

size_t GitBlobCache::totalBytes() const {
  std::lock_guard guard(lock);
  return totalBytes_;
}

void GitBlobCache::removeAll() {
  std::lock_guard guard(lock);
  recent_.clear();
  index_.clear();
  totalBytes_ = 0;
}

} // namespace tavrik
