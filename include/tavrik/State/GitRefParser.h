// Parser of the tab-separated `git for-each-ref` lines the reference reader
// asks for. Pure functions over a GitBuffer, so they can be tested with
// recorded output and fuzzed; they never throw. Lines that do not have one
// piece per requested field, or that do not make a reference, are skipped.
#pragma once

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/State/GitRef.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

struct GitRefParser {
  /// The for-each-ref fields the reference reader requests, in order.
  static std::vector<std::string> defaultFieldNames();

  /// "--format=%(a)\t%(b)...%00" for the given field names: each record
  /// ends at NUL (and git's line feed after it).
  static std::string formatArgument(const std::vector<std::string>& fieldNames);

  /// One line (without its line end): split at every tab, empty pieces kept;
  /// nullopt unless there is one piece per field name and the pieces make a
  /// reference (GitRef::fromFields, empty values left out). A last field
  /// "worktreepath" takes the rest of the line, tabs included.
  static std::optional<GitRef> parseLine(std::string_view line, const std::vector<std::string>& fieldNames);

  /// Every reference from the read position on, in git's order. Records end
  /// at NUL when the data holds one (as `formatArgument` asks), a line feed
  /// just after a NUL skipped; otherwise lines end at a carriage return or a
  /// line feed. Names are bytes to git and are kept as printed, valid UTF-8
  /// or not.
  static std::vector<GitRef> parse(GitBuffer& buffer, const std::vector<std::string>& fieldNames);
};

} // namespace tavrik
