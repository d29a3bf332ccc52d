// Parser of `git status -z --porcelain=v2` output. Pure functions over a
// GitBuffer so they can be tested with recorded output and fuzzed; they never
// throw and never read outside the buffer. Malformed records are dropped one
// by one: the parser goes on from wherever the failed read left the buffer.
#pragma once

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/State/GitStatusEntry.h"

#include <optional>
#include <vector>

namespace tavrik {

struct GitStatusParser {
  /// Parses one record at the buffer's read position ("1", "2", "u", "?" or
  /// "!"). nullopt when the record is malformed or of an unknown type; the
  /// read position has then moved past whatever was read (for an unknown type,
  /// one byte further). Always advances unless the buffer is at its end.
  static std::optional<GitStatusEntry> parseRecord(GitBuffer& buffer);

  /// Parses records from the read position to the buffer's end; the entries
  /// come in git's order (unsorted).
  static std::vector<GitStatusEntry> parse(GitBuffer& buffer);
};

} // namespace tavrik
