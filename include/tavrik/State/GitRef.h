// One git reference as the reference reader lists it: name, target, upstream
// and the parts derived from the name (type, shorthand, folder path).
// References order master first, develop second, then by shorthand.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/State/GitCount.h"
#include "tavrik/State/GitTimestamp.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

/// The namespace of a reference; serialised as its raw value.
enum class GitRefType : int { unknown = 0, branch = 1, remote = 2, tag = 3, note = 4 };

/// "refs/heads/..." is a branch, "refs/tags/..." a tag, "refs/remotes/..." a
/// remote branch, "refs/notes/..." a note; anything else (HEAD) is unknown.
GitRefType gitRefTypeFromRefname(std::string_view refname);
inline bool isUnknown(GitRefType t) { return t == GitRefType::unknown; }
inline bool isBranch(GitRefType t) { return t == GitRefType::branch; }
inline bool isRemote(GitRefType t) { return t == GitRefType::remote; }
inline bool isTag(GitRefType t) { return t == GitRefType::tag; }
inline bool isNote(GitRefType t) { return t == GitRefType::note; }

struct GitRef {
  /// Full name, e.g. "refs/heads/main".
  std::string name;
  /// HEAD points to this branch.
  bool isHead = false;
  std::optional<std::string> symbolicTarget;
  /// Full name of the configured upstream.
  std::optional<std::string> upstreamName;
  /// Name of the upstream's remote.
  std::optional<std::string> upstreamRemote;
  std::optional<GitTimestamp> creatorDate;
  /// The object the reference names.
  std::optional<Oid> target;
  /// The peeled object (the commit of an annotated tag), else `target`.
  std::optional<Oid> commit;
  /// `shorthand` split at "/".
  std::vector<std::string> path;
  /// `name` without its namespace prefix.
  std::string shorthand;
  GitRefType type = GitRefType::unknown;
  /// The folders of `path`: without the last element, and for a remote
  /// branch also without the remote's name.
  std::vector<std::string> pathPrefix;
  GitCount upstreamCount;
  /// The worktree that has this branch checked out (its path, bytes);
  /// nullopt when none has. A client shows it, and refuses to delete the
  /// branch, as git does.
  std::optional<std::string> worktreePath;

  /// A reference with `name` and the parts derived from it (type, shorthand,
  /// path, pathPrefix); everything else empty.
  static GitRef named(std::string name);

  /// Builds a reference from the reader's field dictionary ("HEAD",
  /// "objectname", "*objectname", "refname", "symref", "upstream",
  /// "upstream:remotename", "creatordate:iso8601-strict", "worktreepath"; empty values left
  /// out). nullopt when a required field is missing or an id or the date does
  /// not parse.
  static std::optional<GitRef> fromFields(const std::map<std::string, std::string>& fields);

  /// The values of the reader's fields, each empty when absent.
  struct FieldValues {
    std::string_view head;             // "HEAD"
    std::string_view objectName;       // "objectname"
    std::string_view peeledObjectName; // "*objectname"
    std::string_view refname;          // "refname"
    std::string_view symref;           // "symref"
    std::string_view upstream;         // "upstream"
    std::string_view upstreamRemote;   // "upstream:remotename"
    std::string_view creatorDate;      // "creatordate:iso8601-strict"
    std::string_view upstreamTrack;    // "upstream:track,nobracket"
    std::string_view worktreePath;     // "worktreepath"
  };
  /// `fromFields` without the dictionary, for the parser's inner loop.
  static std::optional<GitRef> fromFieldValues(const FieldValues& values);
  /// Where `fieldName`'s value goes in FieldValues; null for a field the
  /// reference does not use.
  static std::string_view FieldValues::*fieldValueSlot(std::string_view fieldName);

  /// The ahead/behind pair of a for-each-ref "upstream:track,nobracket"
  /// value ("ahead 2, behind 1", "ahead 2", "behind 1"); zero for an empty
  /// value (even with its upstream, or no upstream), for "gone" and for
  /// anything else.
  static GitCount countFromTrack(std::string_view track);

  /// `name` without "refs/heads/", "refs/tags/", "refs/remotes/" and
  /// "refs/notes/", each dropped in turn when it begins the text.
  static std::string shorthandFor(std::string_view name);

  bool isSymbolic() const { return symbolicTarget.has_value(); }
  bool hasTracking() const { return upstreamName.has_value(); }
  bool hasUpstream() const { return upstreamName.has_value(); }
  std::optional<std::string> upstreamShorthand() const;
  /// The upstream's shorthand without "<upstreamRemote>/" in front.
  std::optional<std::string> upstreamShorthandWithoutRemote() const;

  bool operator==(const GitRef&) const = default;
  /// master first, develop next, then ascending by shorthand.
  bool operator<(const GitRef& other) const;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitRef> {
  size_t operator()(const tavrik::GitRef& r) const noexcept;
};
