// Parser of `git show --no-patch --format=<fields joined by %x00> <head file>`
// output into a GitHead, and the rule that names a head's branch from git's
// "%D" decoration list. Pure functions, so they can be tested with recorded
// output and fuzzed; they never throw.
#pragma once

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/State/GitHead.h"

#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

struct GitShowHeadParser {
  /// The fields the show-head operation asks for: %H, %D, %an, %ae, %aI, %B.
  static std::vector<GitFormatField> defaultFormatFields();

  /// "--format=" followed by the placeholders joined with "%x00".
  static std::string formatArgument(const std::vector<GitFormatField>& fields);

  /// The head of a file git could not show: no commit, `refname` the file's
  /// own name, `isSymbolic` true.
  static GitHead emptyHead(GitHeadFile file);

  /// Reads one NUL-terminated field per entry of `fields` (the last may end at
  /// the end of the data), stopping at the first that is missing; what was
  /// read so far is used, as the bytes git printed (names and messages in a
  /// legacy encoding are kept). A bad id or date leaves its field
  /// absent. Without a usable "%D" value the head is named after the file and
  /// symbolic.
  static GitHead parse(GitBuffer& buffer, GitHeadFile file, const std::vector<GitFormatField>& fields);

  /// The branch named by a "%D" decoration list such as
  /// "HEAD -> main, origin/main, tag: v1":
  /// - with an arrow, the name right after the first "->" (up to the next
  ///   comma, trimmed), so HEAD on a branch is named after that branch;
  /// - otherwise the shortest entry (ties keep git's order), where entries
  ///   that are not "tag: x" are preferred when there are any, so a head that
  ///   a branch and a tag both point to is named after the branch.
  /// "" for an empty list. Entries are split at "," and trimmed of blanks and
  /// tabs; nothing else is stripped.
  static std::string refnameFromDecoration(std::string_view decoration);
};

} // namespace tavrik
