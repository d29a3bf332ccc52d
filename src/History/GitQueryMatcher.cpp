#include "History/GitQueryMatcher.h"

#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Diff.h"
#include "tavrik/Interfaces/Tree.h"
#include "tavrik/Util/Error.h"

#include <algorithm>
#include <cstring>

namespace tavrik::detail {

namespace {

constexpr uint32_t kContextLines = 0;
constexpr int64_t kMaxSize = 25'000'000;
constexpr uint32_t kRenameLimit = 100;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

GitQueryMatcher::GitQueryMatcher(GitQuery query) : query_(std::move(query)) {
  needle_.reserve(query_.string.size());
  for (char c : query_.string) needle_.push_back(lower(c));
  matchMessage_ = query_.subject.contains(GitQuerySubject::message);
  matchHash_ = query_.subject.contains(GitQuerySubject::hash);
  matchAuthor_ = query_.subject.contains(GitQuerySubject::author);
  matchCommitter_ = query_.subject.contains(GitQuerySubject::committer);
  matchDiff_ = query_.subject.contains(GitQuerySubject::diff);
  matchFilename_ = query_.subject.contains(GitQuerySubject::filename);
}

bool GitQueryMatcher::containsCaseless(std::string_view haystack, std::string_view lowerNeedle) {
  if (lowerNeedle.empty()) return true;
  if (haystack.size() < lowerNeedle.size()) return false;
  // Find candidates for the first byte in either case with memchr, which is
  // far faster than comparing byte by byte over long diff lines.
  const char first = lowerNeedle[0];
  const char upper = first >= 'a' && first <= 'z' ? static_cast<char>(first - 'a' + 'A') : first;
  const char* data = haystack.data();
  const size_t last = haystack.size() - lowerNeedle.size();
  size_t from = 0;
  while (from <= last) {
    const char* a = static_cast<const char*>(std::memchr(data + from, first, last - from + 1));
    const char* b = upper == first ? nullptr : static_cast<const char*>(std::memchr(data + from, upper, last - from + 1));
    const char* hit = a && b ? std::min(a, b) : (a ? a : b);
    if (!hit) return false;
    size_t at = static_cast<size_t>(hit - data);
    size_t i = 1;
    while (i < lowerNeedle.size() && lower(data[at + i]) == lowerNeedle[i]) ++i;
    if (i == lowerNeedle.size()) return true;
    from = at + 1;
  }
  return false;
}

std::optional<GitQueryMatch> GitQueryMatcher::match(const GitLogEntry& entry, const arbor::Repo& repo) const {
  GitQueryMatch match;
  match.query = query_;
  if (matchMessage_) match.message = containsCaseless(entry.message, needle_);
  if (matchHash_) match.hash = entry.id.debugDescription().starts_with(needle_);
  if (matchAuthor_) match.author = containsCaseless(entry.author.string(), needle_);
  if (matchCommitter_) match.committer = containsCaseless(entry.committer.string(), needle_);
  if (needsChangeSearch()) {
    try {
      searchChange(entry, repo, match);
    } catch (const Error&) {
      // A commit whose objects cannot be read simply has no matching change.
    }
  }
  if (!match.hasMatches()) return std::nullopt;
  return match;
}

void GitQueryMatcher::searchChange(const GitLogEntry& entry, const arbor::Repo& repo, GitQueryMatch& match) const {
  std::optional<arbor::Tree> oldTree;
  if (!entry.parents.empty()) {
    auto parent = arbor::Commit::lookup(entry.parents.front(), repo);
    oldTree = arbor::Tree::lookup(parent.treeId, repo);
  }
  auto newTree = arbor::Tree::lookup(entry.tree, repo);
  auto diff = arbor::Diff::treeToTree(oldTree, newTree, repo,
                                      arbor::DiffOptions{.contextLines = kContextLines, .maxSize = kMaxSize});
  diff.findSimilar(kRenameLimit);

  GitQueryMatch found;
  // One matching line is enough for a file; the rest of its lines are not
  // searched.
  bool fileMatched = false;
  arbor::DiffCallbacks callbacks;
  callbacks.file = [&](const arbor::DiffDelta& delta) {
    fileMatched = false;
    if (matchFilename_) {
      for (const auto* path : {&delta.oldPath, &delta.newPath}) {
        if (!path->empty() && containsCaseless(*path, needle_)) found.paths.insert(*path);
      }
    }
    return true;
  };
  if (matchDiff_) {
    callbacks.line = [&](const arbor::DiffDelta& delta, const arbor::DiffLine& line) {
      if (fileMatched) return true;
      if (line.kind != arbor::DiffLineKind::addition && line.kind != arbor::DiffLineKind::deletion) return true;
      if (containsCaseless(line.content, needle_)) {
        found.content.insert(delta.newPath);
        fileMatched = true;
      }
      return true;
    };
  }
  diff.walk(callbacks);
  match.formUnion(found);
}

} // namespace tavrik::detail
