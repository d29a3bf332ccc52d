// The commits of a history walk, read from one git child that stays open
// between pages. git orders them exactly as the command line does
// ("--topo-order --date-order") and, with a commit-graph file, yields the first
// ones without reading the whole history; the pipe's back-pressure parks git
// while nobody asks for more.
#pragma once

#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Tree.h"
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
  /// The git arguments of a walk, pinned against configuration that would
  /// change the records. The starting points come on standard input.
  static std::vector<std::string> arguments(bool withChanges);
  /// The arguments of a file's history across renames ("--follow"), each
  /// commit with its change of the file as "--raw" lists it (a merge lists
  /// none); git stops after `maxCount` commits when given.
  static std::vector<std::string> followArguments(const std::string& path,
                                                  std::optional<size_t> maxCount = std::nullopt);
  /// The "--format" of one record that `parseRecord` reads ("-z" puts a NUL
  /// after it), and its count of NUL-separated fields.
  static constexpr const char* kRecordFormat =
      "--format=%H%x00%T%x00%P%x00%an%x00%ae%x00%ad%x00%cn%x00%ce%x00%cd%x00%B";
  static constexpr int kRecordFields = 10;

  /// Starts git in the context's repository; it gets ready while the caller
  /// works out where the walk starts, then waits for `start`. Throws
  /// arbor::Error "Git executable not found." without a git and TavrikError
  /// when git cannot start.
  /// With `withChanges`, git also lists what each commit changed.
  GitCommitStream(GitOperationContext& context, bool withChanges);
  /// The same with other arguments: a "log" that reads its starting points
  /// with "--stdin" and prints `kRecordFormat` records, with "--raw
  /// --no-abbrev" changes when `withChanges`.
  GitCommitStream(GitOperationContext& context, const std::vector<std::string>& arguments, bool withChanges);
  /// Hands git the walk's starting points (full reference names or ids).
  /// Throws `TavrikError::refuseOptionLikeRevision`'s error for a revision
  /// git would read as an option; then the stream yields nothing.
  void start(const std::vector<std::string>& revisions);
  /// Stops git when it has not finished.
  ~GitCommitStream();
  GitCommitStream(const GitCommitStream&) = delete;
  GitCommitStream& operator=(const GitCommitStream&) = delete;

  /// The next commit; nullopt at the end. Call `start` first. Throws
  /// GitStdError when git failed (an unknown revision, a corrupt repository),
  /// TavrikError for a broken record or a failed read.
  /// The files the commit changed are added to `changes` when the stream
  /// lists them.
  std::optional<arbor::Commit> next(std::vector<arbor::TreeChange>* changes = nullptr);

  /// Parses one record (the fields without their final NUL); nullopt when it
  /// is malformed. Exposed for the fuzz target.
  static std::optional<arbor::Commit> parseRecord(std::string_view record);
  /// Parses one "--raw -z" change: its ":"-header, its path and, for a move
  /// or copy, the new path. Exposed for the fuzz target.
  static std::optional<arbor::TreeChange> parseChange(std::string_view header, std::string_view path,
                                                      std::string_view secondPath);

private:
  bool fill();
  /// Reads until the byte at `position` is there; false at the end.
  bool haveByte(size_t position);
  /// The next NUL at or after `position`, reading as needed.
  std::optional<size_t> nulFrom(size_t position);
  /// Stops a git that has not finished; the stream then yields nothing.
  void stop();
  void finish();

  std::shared_ptr<BufferedProcess::Task> task_;
  std::string buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
  bool withChanges_ = false;
  bool finished_ = false;
  int fills_ = 0;
  bool widened_ = false;
};

} // namespace detail
} // namespace tavrik
