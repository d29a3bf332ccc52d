#include "HistoryEditVerbs.h"

#include "CommandVerbs.h"
#include "RemoteVerbs.h"
#include "TextOutput.h"

#include "tavrik/Commands/ConflictPrediction.h"
#include "tavrik/Commands/GitFixupOperation.h"
#include "tavrik/Commands/GitMoveCommitOperation.h"
#include "tavrik/Diff/GitSplitCommitOperation.h"
#include "tavrik/Json/GitJson.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

namespace tavrik::cli {

namespace {

void printPrediction(const GitConflictPrediction& prediction, std::ostream& out) {
  if (prediction.clean) {
    out << "applies cleanly (" << prediction.commits.size() << (prediction.commits.size() == 1 ? " commit" : " commits")
        << ")\n";
    return;
  }
  out << "conflicts at " << prediction.conflictingCommit->string() << "\n";
  for (const auto& conflict : prediction.conflicts) {
    out << "  " << rawValue(conflict.kind);
    if (conflict.kind == GitConflictKind::other) out << " " << shownText(conflict.rawKind);
    for (const auto& path : conflict.paths) out << " " << quotedPath(path);
    out << "\n";
  }
  // Paths git left conflicted without naming them in a message.
  for (const auto& path : prediction.conflictedPaths)
    if (std::none_of(prediction.conflicts.begin(), prediction.conflicts.end(),
                     [&](const auto& c) { return std::find(c.paths.begin(), c.paths.end(), path) != c.paths.end(); }))
      out << "  conflicted " << quotedPath(path) << "\n";
}

VerbSpec predictVerb(const char* name, const char* help, const char* argument, GitPredictedOperation operation,
                     bool many) {
  auto revisions = std::make_shared<std::vector<std::string>>();
  return {std::string("predict ") + name, help,
          [revisions, argument, many](CLI::App& verb) {
            auto* option = verb.add_option(argument, *revisions)->required();
            if (!many) option->expected(1);
          },
          [revisions, operation](const CLI::App&) -> VerbRun {
            return [revisions, operation](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
              auto prediction = runOn(queue, makeOperation<GitConflictPredictionOperation>(
                                                 GitConflictPredictionOptions{.operation = operation,
                                                                              .revisions = *revisions}));
              if (asJson)
                out << toJson(prediction) << "\n";
              else
                printPrediction(prediction, out);
              out.flush();
              if (!prediction.clean)
                throw TavrikError("It would stop on conflicts at " + prediction.conflictingCommit->string() + ".");
            };
          },
          true, true, false};
}

// Each rewrite makes commits that git signs when commit.gpgSign says so: a
// key's passphrase is asked on the terminal.
template <class Op> std::shared_ptr<Op> signingOnTerminal(std::shared_ptr<Op> operation) {
  operation->signingAuth = terminalAuth();
  return operation;
}

struct FixupFlags {
  std::string commit;
  std::optional<std::string> message;
  bool allowPublished = false, allowConflicts = false;
};

VerbSpec fixupVerb(const char* name, const char* help, GitFixupMode mode) {
  auto o = std::make_shared<FixupFlags>();
  return {name, help,
          [o, mode](CLI::App& verb) {
            verb.add_option("commit", o->commit, "the commit of the current branch to change")->required();
            if (mode == GitFixupMode::amend) verb.add_option("-m,--message", o->message, "its new message");
            verb.add_flag("--allow-published", o->allowPublished, "change it even when the upstream contains it");
            verb.add_flag("--allow-conflicts", o->allowConflicts,
                          "go ahead even when the replay is predicted to stop on conflicts");
          },
          [o, mode](const CLI::App&) -> VerbRun {
            return [o, mode](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) {
              runOn(queue, signingOnTerminal(makeOperation<GitFixupOperation>(
                               GitFixupOptions{.commit = o->commit,
                                               .mode = mode,
                                               .message = o->message,
                                               .allowPublished = o->allowPublished,
                                               .allowConflicts = o->allowConflicts})));
            };
          },
          true, true, false};
}

struct MoveFlags {
  std::string commit, branch;
  bool allowPublished = false;
};

VerbSpec moveVerb() {
  auto o = std::make_shared<MoveFlags>();
  return {"move", "move COMMIT of the current branch onto BRANCH, without checking BRANCH out",
          [o](CLI::App& verb) {
            verb.add_option("commit", o->commit, "the commit of the current branch to move")->required();
            verb.add_option("--to", o->branch, "the local branch it goes to")->required();
            verb.add_flag("--allow-published", o->allowPublished, "move it even when the upstream contains it");
          },
          [o](const CLI::App&) -> VerbRun {
            return [o](const std::shared_ptr<GitQueue>& queue, bool, std::ostream& out) {
              auto moved = runOn(queue, signingOnTerminal(makeOperation<GitMoveCommitOperation>(GitMoveCommitOptions{
                                            .commit = o->commit, .branch = o->branch,
                                            .allowPublished = o->allowPublished})));
              out << o->branch << " " << moved.moved.string() << "\n";
            };
          },
          true, true, false};
}

struct SplitFlags {
  std::string commit;
  std::vector<std::string> paths, lines;
  std::optional<std::string> message;
  bool allowPublished = false;
};

VerbSpec splitVerb() {
  auto o = std::make_shared<SplitFlags>();
  return {"split", "split COMMIT of the current branch in two: the selected part first, then the rest",
          [o](CLI::App& verb) {
            verb.add_option("commit", o->commit, "the commit of the current branch to split")->required();
            auto* paths = verb.add_option("--paths", o->paths, "the paths whose changes go first");
            auto* lines = verb.add_option("--lines", o->lines, "LIST PATH: the lines of PATH's patch that go first")
                              ->expected(2);
            paths->excludes(lines);
            verb.add_option("-m,--message", o->message, "the second commit's message (else the original's)");
            verb.add_flag("--allow-published", o->allowPublished, "split it even when the upstream contains it");
          },
          [o](const CLI::App&) -> VerbRun {
            if (o->paths.empty() == o->lines.empty()) throw CLI::ValidationError("split", "give --paths or --lines");
            return [o](const std::shared_ptr<GitQueue>& queue, bool, std::ostream& out) {
              GitSplitCommitOptions options{.commit = o->commit, .paths = o->paths, .secondMessage = o->message,
                                            .allowPublished = o->allowPublished};
              if (!o->lines.empty()) {
                try {
                  options.lines = GitSplitLines{.path = o->lines[1], .selection = GitLineSelection::parse(o->lines[0])};
                } catch (const TavrikError& error) {
                  throw TavrikError("Invalid --lines \"" + o->lines[0] + "\": " + error.failureReason.value_or(""));
                }
              }
              auto commits = runOn(queue, signingOnTerminal(makeOperation<GitSplitCommitOperation>(std::move(options))));
              out << commits.first.string() << "\n" << commits.second.string() << "\n";
            };
          },
          true, true, false};
}

} // namespace

std::vector<VerbSpec> historyEditVerbs() {
  return {
      verbGroup("predict", "tell whether a merge, cherry-pick, revert or rebase would stop on conflicts, "
                           "changing nothing"),
      predictVerb("merge", "would merging REFISH into HEAD conflict", "refish", GitPredictedOperation::merge, false),
      predictVerb("cherry-pick", "would picking the commits onto HEAD conflict", "commits",
                  GitPredictedOperation::cherryPick, true),
      predictVerb("revert", "would reverting the commits conflict", "commits", GitPredictedOperation::revert, true),
      predictVerb("rebase", "would rebasing the current branch onto UPSTREAM conflict", "upstream",
                  GitPredictedOperation::rebase, false),
      fixupVerb("fixup", "fold the staged changes into COMMIT of the current branch", GitFixupMode::fixup),
      fixupVerb("amend", "fold the staged changes and a new message into COMMIT of the current branch",
                GitFixupMode::amend),
      moveVerb(),
      splitVerb(),
  };
}

} // namespace tavrik::cli
