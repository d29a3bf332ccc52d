// The bisect reader: where a bisection stands (`GitBisectState`), read from
// the git directory's BISECT_* files, the refs under refs/bisect/ and, for
// the count of revisions left, `git rev-list --bisect-vars` over the same
// revisions and paths git's own next step uses, so the numbers are git's.
// The head reader runs it inline while the in-progress state is bisect, and
// the view's head list then carries the state.
#pragma once

#include "tavrik/Operation/GitOperation.h"
#include "tavrik/State/GitBisectState.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

class GitViewBisectOperation : public GitOperation<std::optional<GitBisectState>> {
public:
  /// The state; nullopt when no bisection is under way (no BISECT_START).
  /// Runs up to three git commands (for-each-ref, rev-parse when HEAD is
  /// not a plain id, rev-list) on the calling thread. Throws
  /// TavrikError::invalidRepository without a repository, GitStdError when
  /// git fails.
  std::optional<GitBisectState> execute(GitOperationContext& context) override;

  /// The terms from BISECT_TERMS ("NEW\nOLD\n"); "bad" and "good" for text
  /// without two lines.
  static std::pair<std::string, std::string> parseTerms(std::string_view text);
  /// The paths of BISECT_NAMES, each shell-quoted by git after a quoted
  /// "--" (" '--' 'a b' 'it'\''s'").
  static std::vector<std::string> parseNames(std::string_view text);
  /// The first bad commit named by a "# first TERM commit: [ID] ..." line of
  /// the bisect log.
  static std::optional<Oid> parseFirstBad(std::string_view log, std::string_view termNew);
  /// bisect_good and bisect_steps of `rev-list --bisect-vars` (the lines
  /// after its "------" line with --bisect-all): the revisions left and the
  /// steps, as git's "Bisecting:" line prints them.
  static std::optional<std::pair<int64_t, int64_t>> parseBisectVars(std::string_view text);
};

} // namespace tavrik
