// Where HEAD, ORIG_HEAD and MERGE_HEAD stand (commit, branch, last author and
// message) and, together with the in-progress markers, the view's head list.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/State/GitBisectState.h"
#include "tavrik/State/GitStateFile.h"
#include "tavrik/State/GitTimestamp.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

enum class GitHeadFile { head, origHead, mergeHead };

/// "HEAD", "ORIG_HEAD", "MERGE_HEAD".
std::string_view rawValue(GitHeadFile file);
std::optional<GitHeadFile> gitHeadFileFromRawValue(std::string_view raw);

/// git pretty-format placeholders the readers ask for.
enum class GitFormatField {
  commitHash,
  treeHash,
  parentHashes,
  refNamesWithoutWrapping,
  authorName,
  authorEmail,
  authorDateStrictISO8601,
  committerName,
  committerEmail,
  committerDateStrictISO8601,
  rawBody,
};

/// "%H", "%T", "%P", "%D", "%an", "%ae", "%aI", "%cn", "%ce", "%cI", "%B".
std::string_view rawValue(GitFormatField field);

struct GitHead {
  std::optional<Oid> commit;
  /// The branch's short name, or the head file's own name when none could be
  /// named (detached HEAD, missing ORIG_HEAD...).
  std::optional<std::string> refname;
  /// `refname` is the head file's own name.
  bool isSymbolic = false;
  std::optional<GitSignature> lastAuthor;
  std::optional<std::string> lastMessage;

  /// First line of `lastMessage`; absent without a message.
  std::optional<std::string> lastSubject() const;

  bool operator==(const GitHead&) const = default;
};

struct GitHeadList {
  GitStateFileSet stateFiles;
  GitHead head;
  GitHead origHead;
  GitHead mergeHead;
  /// Where the bisection stands while the state is bisect; nullopt otherwise.
  std::optional<GitBisectState> bisect;

  bool isDetached() const { return head.isSymbolic; }
  /// "Merge feature into main" during a merge with both heads named, else
  /// the state's title.
  std::string stateTitle() const;

  bool operator==(const GitHeadList&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitHead> {
  size_t operator()(const tavrik::GitHead& h) const noexcept;
};

template <> struct std::hash<tavrik::GitHeadList> {
  size_t operator()(const tavrik::GitHeadList& l) const noexcept;
};
