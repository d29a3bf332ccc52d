// Finding the commit that broke something by bisection: start with a bad
// and good revisions (optionally limited to paths, with terms of the
// client's own in place of "bad" and "good"), mark the checked-out candidate
// or a named revision, skip one, or let git run a test command on each
// candidate. Ending a bisection is GitExecBisectOperation::resetBisect.
//
// Revisions beginning with "-" are refused before git runs. A run's command
// is an argument vector that git runs itself; the engine never hands it to a
// shell. As `git bisect run`, an exit status of 125 skips the candidate and
// one above 127 aborts the run (git then fails with GitStdError of kind
// bisectRunAborted).
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Process/GitExecOperation.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// What `git bisect` is asked to do.
enum class GitBisectAction : uint8_t {
  /// Begin: `bad`, then `good` revisions, `paths` to limit the search.
  start,
  /// Mark `revisions` (the candidate when empty) as good (or `termOld`).
  good,
  /// Mark `revisions` (the candidate when empty) as bad (or `termNew`).
  bad,
  /// Leave `revisions` (the candidate when empty) out.
  skip,
  /// Run `command` on each candidate until the first bad commit is found.
  run,
};

struct GitExecBisectStepOptions {
  GitBisectAction action = GitBisectAction::start;
  /// start: the bad revision (HEAD's commit when nullopt).
  std::optional<std::string> bad = std::nullopt;
  /// start: the good revisions; good, bad, skip: the revisions marked.
  std::vector<std::string> revisions = {};
  /// start: only commits that touch these paths are candidates.
  std::vector<std::string> paths = {};
  /// start: the words for "good" and "bad" ("--term-old", "--term-new").
  /// good and bad mark with these words when given, else with the words of
  /// the bisection under way (BISECT_TERMS).
  std::optional<std::string> termOld = std::nullopt;
  std::optional<std::string> termNew = std::nullopt;
  /// run: the program and its arguments.
  std::vector<std::string> command = {};
};

/// git bisect start, good, bad, skip or run.
class GitExecBisectStepOperation : public GitExecCommandOperation {
public:
  using Options = GitExecBisectStepOptions;
  explicit GitExecBisectStepOperation(GitExecBisectStepOptions options) : options(std::move(options)) {}

  const GitExecBisectStepOptions options;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// head, status, refs, stateFiles and reflogs: a step checks out a commit
  /// and writes refs/bisect/.
  GitAspects aspects() const override;
  // A bisect has its own way back (bisect reset).
  GitJournalScope journalScope() const override { return GitJournalScope::none; }
  /// Throws TavrikError for a revision, term or program beginning with "-",
  /// or a run without a command.
  void validate(GitOperationContext& context) override;

protected:
  bool passesPaths() const override { return !options.paths.empty(); }
};

/// git bisect log: the steps of the bisection under way as git records them,
/// a script `git bisect replay` can run. Throws GitStdError when no
/// bisection is under way.
class GitExecBisectLogOperation : public GitExecOperation<std::string> {
public:
  std::vector<std::string> arguments(GitOperationContext& context) override;
  std::string execute(GitOperationContext& context) override;
};

} // namespace tavrik
