// Tree-to-tree diffs of the object-model layer, with rename and copy
// detection and a callback walk over the changed files and their lines.
//
//   auto diff = Diff::treeToTree(parentTree, tree, repo, {.contextLines = 0});
//   diff.findSimilar(100);
//   diff.walk({.file = [](const DiffDelta& d) { ...; return true; }});
//
// Threads: one thread at a time (see Repo.h); callbacks run on the calling
// thread during `walk`.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct git_diff;

namespace arbor {

class Tree;

struct DiffOptions {
  /// Unchanged lines around each change.
  uint32_t contextLines = 3;
  /// Files larger than this many bytes are treated as binary (no lines).
  int64_t maxSize = 512 * 1024 * 1024;

  bool operator==(const DiffOptions&) const = default;
};

enum class DeltaStatus {
  unmodified,
  added,
  deleted,
  modified,
  renamed,
  copied,
  ignored,
  untracked,
  typeChange,
  unreadable,
  conflicted,
};

/// One changed file.
struct DiffDelta {
  DeltaStatus status = DeltaStatus::unmodified;
  /// For an added file, both paths are the new path; for a deleted one, the old.
  std::string oldPath;
  std::string newPath;
  Oid oldId;
  Oid newId;
  /// 0 to 100 for renames and copies, else 0.
  uint16_t similarity = 0;
  bool isBinary = false;

  bool operator==(const DiffDelta&) const = default;
};

/// The kind of a diff line; the raw value is git's origin character.
enum class DiffLineKind : char {
  context = ' ',
  addition = '+',
  deletion = '-',
  contextEOFNL = '=',
  additionEOFNL = '>',
  deletionEOFNL = '<',
  fileHeader = 'F',
  hunkHeader = 'H',
  binary = 'B',
};

struct DiffLine {
  DiffLineKind kind = DiffLineKind::context;
  /// The line's text including its newline when it has one. Valid only
  /// during the callback.
  std::string_view content;
  /// 1-based; -1 where the line does not exist on that side.
  int oldLineNumber = -1;
  int newLineNumber = -1;
};

/// Callbacks for `Diff::walk`; either may be empty. Returning false stops the
/// walk. An exception thrown by a callback stops the walk and leaves `walk`.
struct DiffCallbacks {
  std::function<bool(const DiffDelta& delta)> file;
  std::function<bool(const DiffDelta& delta, const DiffLine& line)> line;
};

class Diff {
public:
  /// The changes from `oldTree` (nullptr: the empty tree, e.g. for a root
  /// commit) to `newTree`. Throws `arbor::Error`.
  /// When `paths` is not empty, only these paths (exact, no patterns) are
  /// compared, and folders that hold none of them are not read.
  static Diff treeToTree(const Tree* oldTree, const Tree& newTree, const Repo& repo, const DiffOptions& options = {},
                         const std::vector<std::string>& paths = {});
  static Diff treeToTree(const std::optional<Tree>& oldTree, const Tree& newTree, const Repo& repo,
                         const DiffOptions& options = {}, const std::vector<std::string>& paths = {});

  /// Walks the lines of the change from the blob `oldId` to the blob `newId`
  /// (a zero id: the file does not exist on that side), read as the files
  /// at the given paths (their attributes apply; an empty path reads none). The delta handed to the
  /// callbacks carries the paths and ids. Returns false when a callback
  /// stopped the walk. Throws `arbor::Error`, or rethrows a callback's
  /// exception.
  static bool walkBlobs(const Oid& oldId, const std::string& oldPath, const Oid& newId, const std::string& newPath,
                        const Repo& repo, const DiffOptions& options, const DiffCallbacks& callbacks);

  ~Diff();
  Diff(Diff&&) noexcept;
  Diff& operator=(Diff&&) noexcept;

  /// Turns added/deleted pairs into renames and copies. `maxDeltas` bounds
  /// the number of files considered (git's rename limit); nullopt uses the
  /// library default. Throws `arbor::Error`.
  void findSimilar(std::optional<uint32_t> maxDeltas = std::nullopt);

  size_t deltaCount() const;
  std::vector<DiffDelta> deltas() const;

  /// Calls `callbacks.file` once per changed file and `callbacks.line` once
  /// per line of its patch, in order. Returns false when a callback stopped
  /// the walk. Throws `arbor::Error`, or rethrows a callback's exception.
  bool walk(const DiffCallbacks& callbacks) const;

private:
  struct Deleter {
    void operator()(git_diff* diff) const noexcept;
  };
  Diff(Repo repo, git_diff* diff);
  Repo repo_;
  std::unique_ptr<git_diff, Deleter> diff_;
};

} // namespace arbor

template <> struct std::hash<arbor::DiffDelta> {
  size_t operator()(const arbor::DiffDelta& d) const noexcept {
    size_t h = std::hash<std::string>{}(d.oldPath);
    h = h * 31 ^ std::hash<std::string>{}(d.newPath);
    h = h * 31 ^ std::hash<arbor::Oid>{}(d.oldId);
    h = h * 31 ^ std::hash<arbor::Oid>{}(d.newId);
    return h * 31 ^ (static_cast<size_t>(d.status) << 8 | d.similarity);
  }
};
