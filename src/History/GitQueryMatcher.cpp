#include "History/GitQueryMatcher.h"

#include "tavrik/Interfaces/Blob.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Diff.h"
#include "tavrik/Interfaces/Tree.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Util/Error.h"

#include <algorithm>
#include <cstring>

namespace tavrik::detail {

namespace {

constexpr uint32_t kContextLines = 0;
constexpr int64_t kMaxSize = 25'000'000;
constexpr uint32_t kRenameLimit = 100;
constexpr uint32_t kGitlinkMode = 0160000;

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

std::optional<GitQueryMatch> GitQueryMatcher::match(const GitLogEntry& entry, const arbor::Repo& repo,
                                                    const std::vector<arbor::TreeChange>* changes) const {
  GitQueryMatch match;
  if (matchMessage_) match.message = containsCaseless(entry.message, needle_);
  if (matchHash_) match.hash = entry.id.debugDescription().starts_with(needle_);
  if (matchAuthor_) match.author = containsCaseless(entry.author.string(), needle_);
  if (matchCommitter_) match.committer = containsCaseless(entry.committer.string(), needle_);
  if (needsChangeSearch()) {
    try {
      searchChange(entry, repo, changes, match);
    } catch (const arbor::Error& error) {
      // An object missing from a partial clone has no matching change; a
      // corrupt one is an error, never a silent "no match".
      if (error.code() != arbor::Error::Code::notFound) throw;
    }
  }
  if (!match.hasMatches()) return std::nullopt;
  // Most commits do not match; only a match carries a copy of the query.
  match.query = query_;
  return match;
}

void GitQueryMatcher::searchListedChanges(const std::vector<arbor::TreeChange>& changes, const arbor::Repo& repo,
                                          GitQueryMatch& found) const {
  for (const auto& change : changes) {
    if (matchFilename_) {
      for (const auto* path : {&change.oldPath, &change.path}) {
        if (!path->empty() && containsCaseless(*path, needle_)) found.paths.insert(*path);
      }
    }
    if (matchDiff_ && changedLinesMatch(change, repo)) found.content.insert(change.path);
  }
}

void GitQueryMatcher::searchChange(const GitLogEntry& entry, const arbor::Repo& repo,
                                   const std::vector<arbor::TreeChange>* listed, GitQueryMatch& match) const {
  if (listed) {
    GitQueryMatch found;
    searchListedChanges(*listed, repo, found);
    match.formUnion(found);
    return;
  }
  std::optional<arbor::Tree> oldTree;
  if (!entry.parents.empty()) {
    auto parent = arbor::Commit::lookup(entry.parents.front(), repo);
    oldTree = arbor::Tree::lookup(parent.treeId, repo);
  }
  auto newTree = arbor::Tree::lookup(entry.tree, repo);
  // Comparing the trees directly skips every folder the commit left alone;
  // a full tree diff reads all of them, which on a large tree costs far more
  // than the search itself.
  auto changes = arbor::Tree::changes(oldTree ? &*oldTree : nullptr, newTree);
  const bool added = std::any_of(changes.begin(), changes.end(),
                                 [](const auto& c) { return c.kind == arbor::TreeChange::Kind::added; });
  const bool deleted = std::any_of(changes.begin(), changes.end(),
                                   [](const auto& c) { return c.kind == arbor::TreeChange::Kind::deleted; });
  GitQueryMatch found;
  if (added && deleted) {
    // Files may have moved: the object library pairs them up, limited to the
    // changed paths so it need not read the rest of the trees either.
    std::vector<std::string> paths;
    for (const auto& change : changes) paths.push_back(change.path);
    auto diff = arbor::Diff::treeToTree(oldTree, newTree, repo, {.contextLines = kContextLines, .maxSize = kMaxSize},
                                        paths);
    diff.findSimilar(kRenameLimit);
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
        if (!fileMatched && lineMatches(line)) {
          found.content.insert(delta.newPath);
          fileMatched = true;
        }
        return true;
      };
    }
    diff.walk(callbacks);
  } else {
    searchListedChanges(changes, repo, found);
  }
  match.formUnion(found);
}

bool GitQueryMatcher::lineMatches(const arbor::DiffLine& line) const {
  return (line.kind == arbor::DiffLineKind::addition || line.kind == arbor::DiffLineKind::deletion) &&
         containsCaseless(line.content, needle_);
}

bool GitQueryMatcher::changedLinesMatch(const arbor::TreeChange& change, const arbor::Repo& repo) const {
  // A submodule's entry has no lines of its own.
  if (change.oldMode == kGitlinkMode || change.newMode == kGitlinkMode) return false;
  const arbor::DiffOptions options{.contextLines = kContextLines, .maxSize = kMaxSize};
  const bool wholeFile = change.kind == arbor::TreeChange::Kind::added || change.kind == arbor::TreeChange::Kind::deleted;
  if (!wholeFile && change.oldId == change.newId) return false;
  if (wholeFile && needle_.find('\n') == std::string::npos) {
    // Every line of an added or deleted file is a changed line, so its
    // contents can be searched as they are, without a diff.
    auto blob = arbor::Blob::lookup(change.kind == arbor::TreeChange::Kind::added ? change.newId : change.oldId, repo);
    auto content = blob.content();
    if (static_cast<int64_t>(content.size()) > kMaxSize || blob.isBinary()) return false;
    return containsCaseless(content, needle_);
  }
  bool matched = false;
  arbor::DiffCallbacks callbacks;
  callbacks.line = [&](const arbor::DiffDelta&, const arbor::DiffLine& line) {
    // libgit2 may still hand over the rest of a hunk after being asked to
    // stop, so a later line must not undo a match.
    if (!matched) matched = lineMatches(line);
    return !matched;
  };
  // Without a path libgit2 reads no attribute files for the pair: looking
  // them up in every folder of the path cost more than the diff itself.
  arbor::Diff::walkBlobs(change.oldId, {}, change.newId, {}, repo, options, callbacks);
  return matched;
}

} // namespace tavrik::detail
