// The repository's index file, read once and kept for questions about a few
// paths: the status reader's answer for a handful of saved files must not
// cost a parse of a 90 MB index each time.
//
// Only the entries' places are kept, not their contents: the snapshot holds
// the index file open, and git replaces an index by renaming a new file over
// it, never by writing into it, so the open file keeps the bytes it had. An
// entry is read back from it when asked for. Whether the snapshot still is
// the repository's index is the caller's question (`identity` against
// `indexFileIdentity` of the path). Read only; nothing here writes an index.
#pragma once

#include "tavrik/Interfaces/Oid.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik::detail {

/// What tells one index file from another without reading it.
struct IndexFileIdentity {
  long long size = -1, modifiedNanoseconds = 0, changedNanoseconds = 0;
  unsigned long long inode = 0;
  bool operator==(const IndexFileIdentity&) const = default;
};

/// The identity of the file at `path`; nullopt when it cannot be examined.
std::optional<IndexFileIdentity> indexFileIdentity(const std::string& path);

/// One entry as the index stores it (stat fields cut to 32 bits, as git does).
struct IndexEntry {
  uint32_t ctimeSeconds = 0, ctimeNanoseconds = 0, mtimeSeconds = 0, mtimeNanoseconds = 0;
  uint32_t device = 0, inode = 0, mode = 0, uid = 0, gid = 0, size = 0;
  arbor::Oid oid;
  int stage = 0;
  bool assumeValid = false, skipWorktree = false, intentToAdd = false;
};

class IndexSnapshot {
public:
  /// Reads the index at `path` (blocking, about a second for a million
  /// entries); null for a file that is missing, malformed or of a form this
  /// reader leaves to git: version 4 (compressed paths) and split indexes.
  static std::shared_ptr<const IndexSnapshot> open(const std::string& path);
  /// Reads the whole index file at `path` once and calls `visit` with each
  /// entry and its path, in the file's order (blocking, the caller's
  /// thread). False, having called `visit` for none, for a file `open`
  /// refuses. For readers of every entry, where a lookup each would cost a
  /// read each.
  static bool forEachEntry(const std::string& path,
                           const std::function<void(std::string_view path, const IndexEntry& entry)>& visit);
  ~IndexSnapshot();
  IndexSnapshot(const IndexSnapshot&) = delete;
  IndexSnapshot& operator=(const IndexSnapshot&) = delete;

  /// The identity of the file read, from the open file itself.
  const IndexFileIdentity& identity() const { return identity_; }
  /// The index file's modification time: entries changed in it or after
  /// are racily clean.
  uint32_t modifiedSeconds() const { return static_cast<uint32_t>(modifiedSeconds_); }
  uint32_t modifiedNanoseconds() const { return modifiedNanosecondsPart_; }
  /// Every entry of `path` (one per stage), in stage order; nullopt when
  /// the file cannot be read back. Any thread.
  std::optional<std::vector<IndexEntry>> lookup(std::string_view path) const;
  /// Whether some entry lies inside `folder` ("a/b/"); nullopt when the
  /// file cannot be read back. Any thread.
  std::optional<bool> hasEntriesUnder(std::string_view folder) const;

private:
  IndexSnapshot() = default;
  // The path of the entry at `offset`; false when it cannot be read.
  bool readEntry(uint32_t offset, std::string& path, IndexEntry* entry) const;
  // The first entry whose path is not below `path`; nullopt when unreadable.
  std::optional<size_t> lowerBound(std::string_view path) const;

  int fd_ = -1;
  int version_ = 2;
  IndexFileIdentity identity_;
  long long modifiedSeconds_ = 0;
  uint32_t modifiedNanosecondsPart_ = 0;
  std::vector<uint32_t> offsets_; // of each entry, in the file's order (path, then stage)
};

} // namespace tavrik::detail
