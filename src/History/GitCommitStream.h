// The commits of a history walk, read from one git child that stays open
// between pages. git orders them exactly as the command line does
// ("--topo-order --date-order") and, with a commit-graph file, yields the first
// ones without reading the whole history; the pipe's back-pressure parks git
// while nobody asks for more.
#pragma once

#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Process/BufferedProcess.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

class GitOperationContext;

namespace detail {

class GitCommitStream {
public:
  /// The git arguments of a walk from `revisions` (full reference names or
  /// ids), pinned against configuration that would change the records.
  static std::vector<std::string> arguments(const std::vector<std::string>& revisions);

  /// Starts git for `revisions` in the context's repository. Throws arbor::Error
  /// "Git executable not found." without a git, TavrikError when git cannot
  /// start, and `TavrikError::refuseOptionLikeRevision`'s error for a revision that git
  /// would read as an option.
  GitCommitStream(GitOperationContext& context, const std::vector<std::string>& revisions);
  /// Stops git when it has not finished.
  ~GitCommitStream();
  GitCommitStream(const GitCommitStream&) = delete;
  GitCommitStream& operator=(const GitCommitStream&) = delete;

  /// The next commit; nullopt at the end. Throws GitStdError when git failed
  /// (an unknown revision, a corrupt repository), TavrikError for a broken
  /// record or a failed read.
  std::optional<arbor::Commit> next();

  /// Parses one record (the fields without their final NUL); nullopt when it
  /// is malformed. Exposed for the fuzz target.
  static std::optional<arbor::Commit> parseRecord(std::string_view record);

private:
  bool fill();
  void finish();

  std::shared_ptr<BufferedProcess::Task> task_;
  std::string buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
  // Where the search for the next record's NULs goes on after a refill.
  size_t scanned_ = 0;
  int nulsSeen_ = 0;
  bool finished_ = false;
};

} // namespace detail
} // namespace tavrik
