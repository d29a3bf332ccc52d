// The watcher's memory of what changed in the working tree, in the form
// git's file-system monitor hook (protocol version 2) answers: a token in,
// the paths changed since then and a new token out.
//
// A token is "tavrik:<instance>:<sequence>": the instance is random per
// journal, so a token of another watcher, of an earlier attach or of a
// process that was killed never matches; the sequence counts the changes
// recorded. The journal keeps at most `capacity` changes; a token older
// than the oldest it kept, one from before a `forgetAll` (an overflow of
// the kernel's queue, a rescan), a token from the future or a journal that
// is `unsure` (the tree is not watched in full) all answer "everything may
// have changed", which git reads as "/".
//
// The status reader asks the same journal for a narrower answer
// (`exactPathsSince`): only the working-tree files that changed, and
// nothing when anything else did since (a `barrier`: the git directories, a
// submodule) or a folder appeared or went, so that it may run git on those
// paths alone.
//
// Not thread-safe: the watcher's mutex guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik::detail {

class FsmonitorJournal {
public:
  struct Answer {
    std::string token;
    /// The paths changed since the token asked about, each once; folders
    /// end in '/'. nullopt: anything may have changed.
    std::optional<std::vector<std::string>> paths;
  };

  /// Throws TavrikError when no random instance id can be had.
  explicit FsmonitorJournal(size_t capacity = 100000);

  /// Records a change of `path`, relative to the working tree (a folder
  /// ends in '/'). Bytes are kept as they are.
  void record(std::string path);
  /// Nothing recorded so far can be trusted: earlier tokens answer "/".
  void forgetAll();
  /// While unsure, every answer is "/".
  void setUnsure(bool unsure) { unsure_ = unsure; }
  /// Folders the watcher does not look into (ignored ones), reported in
  /// every answer so that git checks what it tracks inside them itself.
  void setUnwatchedFolders(std::vector<std::string> folders) { unwatched_ = std::move(folders); }
  void addUnwatchedFolder(std::string folder) { unwatched_.push_back(std::move(folder)); }

  /// Something outside the journal's paths changed (the index, HEAD, refs,
  /// configuration, a submodule): `exactPathsSince` of an earlier token
  /// answers nothing. The monitor's own answers are not affected.
  void barrier() { barrier_ = ++sequence_; }
  /// The files changed since `token`, without the unwatched folders; nullopt
  /// when that is not all that changed (see `barrier`), a folder appeared or
  /// went, or `changedSince` would answer "/".
  std::optional<std::vector<std::string>> exactPathsSince(std::string_view token) const;
  const std::vector<std::string>& unwatchedFolders() const { return unwatched_; }

  std::string currentToken() const;
  /// What changed since `token`, and the token that stands for now.
  Answer changedSince(std::string_view token) const;
  /// The answer in the hook's own form: token NUL, then either "/" NUL or
  /// each path NUL.
  static std::string encode(const Answer& answer);

private:
  std::optional<uint64_t> sequenceOf(std::string_view token) const;

  const size_t capacity_;
  std::string instance_;
  uint64_t sequence_ = 0; // changes recorded; the i-th has sequence i
  uint64_t floor_ = 0;    // the oldest token that can still be answered
  uint64_t barrier_ = 0;  // the oldest token `exactPathsSince` can answer
  std::deque<std::pair<uint64_t, std::string>> changes_;
  std::vector<std::string> unwatched_;
  bool unsure_ = false;
};

} // namespace tavrik::detail
