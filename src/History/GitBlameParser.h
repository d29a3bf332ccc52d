// Reads `git blame --incremental` output as it arrives, in chunks cut
// anywhere, and yields each range once its "filename" line is complete.
// A commit's details come with its first range only; later ranges of the
// same commit share the record read then.
#pragma once

#include "tavrik/History/GitBlame.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrik::detail {

class GitBlameParser {
public:
  /// Appends `chunk` and returns the ranges it completed. Throws TavrikError
  /// (EBADMSG) for a malformed line or a range of a commit whose details
  /// never came; the parser is then unusable.
  std::vector<GitBlameRange> feed(std::string_view chunk);
  /// Throws TavrikError (EBADMSG) when output stopped inside a range.
  void finish() const;

private:
  void parseLine(std::string_view line, std::vector<GitBlameRange>& out);

  std::string pending_;
  std::unordered_map<Oid, std::shared_ptr<const GitBlameCommit>> commits_;
  bool inRange_ = false;
  GitBlameRange range_;
  // The details of the current range's commit while they are being read.
  std::optional<GitBlameCommit> details_;
};

} // namespace tavrik::detail
