#include "tavrik/Diff/GitDiff.h"

#include "tavrik/Util/HashCombine.h"
#include "tavrik/Util/StringUtilities.h"

namespace tavrik {

std::string_view toString(GitDiffLineType type) {
  static constexpr std::string_view names[] = {
      "headerUnmerged", "headerDiff",       "headerIndex",    "headerDeletedFile", "headerNewFile",
      "headerFileA",    "headerFileB",      "headerSimilarity", "headerRenameFrom", "headerRenameTo",
      "headerCopyFrom", "headerCopyTo",     "hunk",           "context",           "addition",
      "deletion",       "noNewlineAtEOF",   "binary",         "unknown"};
  return names[static_cast<size_t>(type)];
}

void GitDiffLine::setString(const std::shared_ptr<const std::string>& bytes, size_t offset, size_t length) {
  if (!bytes) {
    bytes_.reset();
    length_ = 0;
    return;
  }
  offset = std::min(offset, bytes->size());
  // A line of 4 GiB or more is cut, never wrapped.
  length_ = static_cast<uint32_t>(std::min({length, bytes->size() - offset, size_t(UINT32_MAX)}));
  bytes_ = std::shared_ptr<const char>(bytes, bytes->data() + offset);
}

void GitDiffLine::setString(std::string_view text) {
  auto bytes = std::make_shared<const std::string>(text);
  setString(bytes, 0, bytes->size());
}

std::string GitDiffLine::originString() const {
  std::string text;
  text.reserve(string().size() + 1);
  if (origin) text.push_back(*origin);
  text.append(string());
  return text;
}

std::string GitDiffLine::displayString() const { return lossyUTF8(string()); }

std::string GitDiffStats::debugDescription() const {
  return "<GitDiffStats ins=" + std::to_string(insertions) + ", del=" + std::to_string(deletions) + " >";
}

bool GitDiffFile::isImage() const { return path && hasDiffableImageExtension(*path); }

std::string GitDiffFile::debugDescription() const {
  return "<GitDiffDeltaFile " + oid.debugDescription() + ", path=" + (path ? lossyUTF8(*path) : "nil") + ">";
}

std::shared_ptr<GitDiff> GitDiff::untracked(std::string path) {
  auto diff = std::make_shared<GitDiff>();
  diff->status = GitStatus::untracked;
  diff->newFile.path = std::move(path);
  return diff;
}

std::vector<std::string> GitDiff::filePaths() const {
  std::vector<std::string> paths;
  if (oldFile.path) paths.push_back(*oldFile.path);
  if (newFile.path) paths.push_back(*newFile.path);
  return paths;
}

std::vector<GitDiffFile> GitDiff::validFiles() const {
  std::vector<GitDiffFile> valid;
  for (const auto* file : {&oldFile, &newFile})
    if (file->exists()) valid.push_back(*file);
  return valid;
}

std::vector<GitDiffFile> GitDiff::validImageFiles() const {
  std::vector<GitDiffFile> images;
  for (auto& file : validFiles())
    if (file.isImage()) images.push_back(std::move(file));
  return images;
}

Oid GitDiff::oldImageBlob() const { return oldFile.isImage() ? oldFile.oid : Oid::zero; }
Oid GitDiff::newImageBlob() const { return newFile.isImage() ? newFile.oid : Oid::zero; }

std::string GitDiff::formatPatch() const {
  size_t size = 0;
  for (const auto& line : lines) size += line.string().size() + 1;
  std::string patch;
  patch.reserve(size);
  for (const auto& line : lines) {
    if (line.origin) patch.push_back(*line.origin);
    patch.append(line.string());
  }
  return patch;
}

void GitDiff::copyPatchData(const GitDiff& other) {
  raw = other.raw;
  cached = other.cached;
  ours = other.ours;
  commit = other.commit;
  oldFile.blob = other.oldFile.blob;
  newFile.blob = other.newFile.blob;
  if (!other.oldFile.oid.isZero()) oldFile.oid = other.oldFile.oid;
  if (!other.newFile.oid.isZero()) newFile.oid = other.newFile.oid;
  headerBegin = other.headerBegin;
  headerEnd = other.headerEnd;
  lines = other.lines;
  hunks = other.hunks;
  binaryLine = other.binaryLine;
}

std::optional<GitDiffLine> GitDiff::hunkHeader(size_t i) const {
  if (i >= hunks.size()) return std::nullopt;
  const size_t at = hunks[i].rangeBegin;
  if (at >= lines.size() || lines[at].type != GitDiffLineType::hunk) return std::nullopt;
  return lines[at];
}

std::vector<GitDiffLine> GitDiff::hunkLines(size_t i) const {
  if (i >= hunks.size()) return {};
  const size_t begin = std::min(hunks[i].linesBegin(), lines.size());
  const size_t end = std::min(hunks[i].linesEnd(), lines.size());
  return {lines.begin() + static_cast<std::ptrdiff_t>(begin), lines.begin() + static_cast<std::ptrdiff_t>(end)};
}

std::set<size_t> GitDiff::selectableHunkLineIndexes(size_t i) const {
  std::set<size_t> indexes;
  if (i >= hunks.size()) return indexes;
  for (size_t at = hunks[i].linesBegin(); at < std::min(hunks[i].linesEnd(), lines.size()); ++at)
    if (lines[at].isSelectable()) indexes.insert(lines[at].index);
  return indexes;
}

const GitDiffList& GitDiffList::empty() {
  static const auto* list = new GitDiffList(true, {});
  return *list;
}

int64_t GitDiffList::totalInsertions() const {
  int64_t total = 0;
  for (const auto& diff : diffs) total += diff->stats.insertions;
  return total;
}

int64_t GitDiffList::totalDeletions() const {
  int64_t total = 0;
  for (const auto& diff : diffs) total += diff->stats.deletions;
  return total;
}

GitDiffList GitDiffList::removingUnmerged() const {
  std::vector<std::shared_ptr<GitDiff>> kept;
  kept.reserve(diffs.size());
  for (const auto& diff : diffs)
    if (diff->status != GitStatus::unmerged) kept.push_back(diff);
  return GitDiffList(raw, std::move(kept));
}

} // namespace tavrik

size_t std::hash<tavrik::GitDiffLine>::operator()(const tavrik::GitDiffLine& line) const noexcept {
  return tavrik::detail::hashFields(static_cast<int>(line.type), line.origin, line.index, line.oldLineNumber,
                                    line.newLineNumber, std::hash<std::string_view>{}(line.string()));
}

size_t std::hash<tavrik::GitDiffHunk>::operator()(const tavrik::GitDiffHunk& hunk) const noexcept {
  return tavrik::detail::hashFields(hunk.rangeBegin, hunk.rangeEnd, hunk.oldStart, hunk.newStart);
}

size_t std::hash<tavrik::GitDiffStats>::operator()(const tavrik::GitDiffStats& stats) const noexcept {
  return tavrik::detail::hashFields(stats.insertions, stats.deletions);
}
