// The diff model: what `git diff` (or `git log -1` of one commit) says about
// each changed file. Two parsers fill it: the raw listing ("--raw --numstat
// -z"), one record per file with ids, modes, status and line counts, and the
// unified patch ("-p"), which adds the header, hunk and content lines.
//
// Lines keep the bytes git printed, whatever their encoding: `formatPatch()`
// gives git's output back byte for byte, and the staging patches are built
// from the same bytes. `displayString()` decodes a line for showing it.
//
// A line shares the bytes of git's output with every other line of the same
// parse instead of holding a copy, so a patch of tens of megabytes is not
// copied line by line; a line copied out of its diff keeps those bytes alive.
//
//   auto list = makeOperation<GitExecDiffOperation>()->enqueue(queue).wait().value;
//   auto patch = makeOperation<GitExecDiffOperation>(*list.diffs[0], 3)->enqueue(queue).wait().value;
//   list.diffs[0]->copyPatchData(*patch.diffs[0]);
#pragma once

#include "tavrik/Diff/GitBlob.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Process/GitBuffer.h"
#include "tavrik/State/GitStatus.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// The kind of a patch line; the position is the kind's number (0 to 18).
enum class GitDiffLineType : uint8_t {
  headerUnmerged,
  headerDiff,
  headerIndex,
  headerDeletedFile,
  headerNewFile,
  headerFileA,
  headerFileB,
  headerSimilarity,
  headerRenameFrom,
  headerRenameTo,
  headerCopyFrom,
  headerCopyTo,
  hunk,
  context,
  addition,
  deletion,
  noNewlineAtEOF,
  binary,
  unknown,
};

/// True for the twelve header kinds.
constexpr bool isHeader(GitDiffLineType type) { return static_cast<uint8_t>(type) < 12; }

/// Classifies one line (without its newline) by its prefix. Where several
/// prefixes match ("--- x", "+++ x"), `headerHint` picks a header kind in a
/// file's header and a content kind inside a hunk.
GitDiffLineType gitDiffLineType(std::string_view line, bool headerHint);

/// "context", "addition", ... (the case name).
std::string_view toString(GitDiffLineType type);

struct GitDiffLine {
  GitDiffLineType type = GitDiffLineType::unknown;
  /// ' ', '+', '-' or '\\' for content lines and the no-newline marker;
  /// absent for every other line.
  std::optional<char> origin;
  /// The line's position in its diff's `lines`.
  uint32_t index = 0;
  std::optional<int32_t> oldLineNumber;
  std::optional<int32_t> newLineNumber;

  /// The bytes after `origin` (the whole line without one), ending with
  /// "\n"; valid as long as this line or a copy of it lives.
  std::string_view string() const { return bytes_ ? std::string_view(bytes_.get(), length_) : std::string_view(); }
  /// The text as `length` bytes of shared `bytes` from `offset`.
  void setString(const std::shared_ptr<const std::string>& bytes, size_t offset, size_t length);
  /// The text as a copy of `text`.
  void setString(std::string_view text);

  bool isSelectable() const { return type == GitDiffLineType::addition || type == GitDiffLineType::deletion; }
  /// The line as git printed it, with its newline.
  std::string originString() const;
  /// `string()` decoded for display: bytes that are not UTF-8 become U+FFFD.
  std::string displayString() const;

  /// Texts compare by their bytes, wherever they are kept.
  bool operator==(const GitDiffLine& other) const {
    return type == other.type && origin == other.origin && index == other.index &&
           oldLineNumber == other.oldLineNumber && newLineNumber == other.newLineNumber && string() == other.string();
  }

private:
  // Points at the line's first byte and shares ownership of the whole output.
  std::shared_ptr<const char> bytes_;
  uint32_t length_ = 0;
};

/// A hunk: `range` runs from its "@@ " line to the index after its last line.
struct GitDiffHunk {
  size_t rangeBegin = 0;
  size_t rangeEnd = 0;
  int32_t oldStart = 0;
  int32_t newStart = 0;

  size_t headerIndex() const { return rangeBegin; }
  /// The hunk without its "@@ " line: [begin + 1, max(begin + 1, end)).
  size_t linesBegin() const { return rangeBegin + 1; }
  size_t linesEnd() const { return std::max(rangeBegin + 1, rangeEnd); }

  bool operator==(const GitDiffHunk&) const = default;
};

struct GitDiffStats {
  int64_t insertions = 0;
  int64_t deletions = 0;
  /// "<GitDiffStats ins=1, del=2 >"
  std::string debugDescription() const;
  bool operator==(const GitDiffStats&) const = default;
};

/// One side of a diff.
struct GitDiffFile {
  Oid oid;
  GitMode mode;
  /// The path as bytes, unquoted; absent for the missing side of an added or
  /// deleted file.
  std::optional<std::string> path;
  /// The contents, loaded only for images by the patch operation.
  std::shared_ptr<const GitBlob> blob = GitBlob::zero();

  bool isImage() const;
  bool exists() const { return !oid.isZero(); }
  /// "<GitDiffDeltaFile <oid>, path=<path or nil>>"
  std::string debugDescription() const;

  /// Blobs compare by id.
  bool operator==(const GitDiffFile& other) const {
    return oid == other.oid && mode == other.mode && path == other.path && blob->oid() == other.blob->oid();
  }
};

/// The change of one file. Shared and changed in place by the client.
class GitDiff {
public:
  size_t offset = 0;
  bool raw = false;
  bool cached = false;
  bool ours = false;
  bool firstParent = false;
  std::optional<Oid> commit;
  GitStatus status = GitStatus::modified;
  GitDiffFile oldFile;
  GitDiffFile newFile;
  std::optional<int32_t> similarity;
  size_t headerBegin = 0;
  size_t headerEnd = 0;
  std::vector<GitDiffLine> lines;
  std::vector<GitDiffHunk> hunks;
  std::optional<size_t> binaryLine;
  GitDiffStats stats;

  /// A diff of a file git does not track, made without running git.
  static std::shared_ptr<GitDiff> untracked(std::string path);

  /// oldFile.path then newFile.path, each when present.
  std::vector<std::string> filePaths() const;
  std::vector<GitDiffFile> files() const { return {oldFile, newFile}; }
  std::vector<GitDiffFile> validFiles() const;
  std::vector<GitDiffFile> validImageFiles() const;
  Oid oldImageBlob() const;
  Oid newImageBlob() const;
  /// A working-tree or index patch.
  bool isStatusPatch() const { return !raw && !commit; }
  bool isSymlink() const { return oldFile.mode.isSymlink() || newFile.mode.isSymlink(); }
  bool isBinary() const { return binaryLine.has_value(); }

  /// Every line as git printed it, concatenated.
  std::string formatPatch() const;
  /// Takes the patch of `other` (a patch of the same file) into this listed
  /// diff: lines, hunks, header, binary line, blobs, the non-zero ids and the
  /// request flags. Offset, status, paths, modes, similarity and stats stay.
  void copyPatchData(const GitDiff& other);

  /// The "@@ " line of hunk i, when there is one.
  std::optional<GitDiffLine> hunkHeader(size_t i) const;
  /// The lines of hunk i without its "@@ " line; empty for a bad index.
  std::vector<GitDiffLine> hunkLines(size_t i) const;
  /// The indexes of the additions and deletions of hunk i.
  std::set<size_t> selectableHunkLineIndexes(size_t i) const;

  /// The raw listing ("--raw --numstat -z" or "--raw -z"). Paths are bytes.
  /// Never throws: unreadable records are skipped.
  static std::vector<std::shared_ptr<GitDiff>> parseRaw(GitBuffer& buffer, bool cached, bool ours, bool firstParent,
                                                        bool numstat, std::optional<Oid> commit);
  /// The unified patch ("-p"). The lines share the buffer's unread bytes,
  /// taken out of it (the buffer is left empty). Never throws; every byte of the
  /// output is kept in some line.
  static std::vector<std::shared_ptr<GitDiff>> parsePatch(GitBuffer& buffer, bool cached, bool ours,
                                                          bool firstParent, std::optional<Oid> commit);
  /// The same over shared bytes.
  static std::vector<std::shared_ptr<GitDiff>> parsePatch(std::shared_ptr<const std::string> output, bool cached,
                                                          bool ours, bool firstParent, std::optional<Oid> commit);
};

/// The diffs of one request, in git's order. Never changes.
class GitDiffList {
public:
  GitDiffList() = default;
  GitDiffList(bool raw, std::vector<std::shared_ptr<GitDiff>> diffs) : raw(raw), diffs(std::move(diffs)) {}

  bool raw = true;
  std::vector<std::shared_ptr<GitDiff>> diffs;

  /// A raw list without diffs.
  static const GitDiffList& empty();
  int64_t totalInsertions() const;
  int64_t totalDeletions() const;
  /// The same list without the unmerged diffs.
  GitDiffList removingUnmerged() const;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitDiffLine> {
  size_t operator()(const tavrik::GitDiffLine& line) const noexcept;
};
template <> struct std::hash<tavrik::GitDiffHunk> {
  size_t operator()(const tavrik::GitDiffHunk& hunk) const noexcept;
};
template <> struct std::hash<tavrik::GitDiffStats> {
  size_t operator()(const tavrik::GitDiffStats& stats) const noexcept;
};
