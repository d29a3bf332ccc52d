#include "CommandVerbs.h"

#include "tavrik/Json/GitJson.h"
#include "TextOutput.h"

#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/Commands/CommitQueries.h"
#include "tavrik/Commands/GitExecRevParseCommitOperation.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Commands/WorktreeActions.h"
#include "tavrik/Diff/GitExecApplyOperation.h"
#include "tavrik/Diff/GitExecDiffOperation.h"
#include "tavrik/Diff/GitLineSelection.h"
#include "tavrik/Diff/GitPatchListing.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/Rebase/GitRebasePlan.h"
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/State/GitStateFile.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/TavrikError.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace tavrik::cli {

namespace {

using nlohmann::json;

std::vector<Oid> commitIds(const std::shared_ptr<GitQueue>& queue, const std::vector<std::string>& revisions) {
  std::vector<Oid> ids;
  for (const auto& revision : revisions) ids.push_back(runOn(queue, makeOperation<GitExecRevParseCommitOperation>(revision)));
  return ids;
}

std::set<std::string> pathSet(const std::vector<std::string>& paths) { return {paths.begin(), paths.end()}; }

// Operations without a result: run, wait, print nothing.
template <class Make> VerbAction plain(Make make) {
  return [make](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) { runOn(queue, make(queue)); };
}

// Verbs that may leave a merge, rebase, cherry-pick or revert waiting for
// the user (a conflict, an edit stop) fail then, saying how to go on, even
// when git itself stopped with status 0.
template <class Make> VerbAction stopping(Make make) {
  return [make](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) {
    std::exception_ptr failure;
    try {
      runOn(queue, make(queue));
    } catch (...) {
      failure = std::current_exception();
    }
    const auto state = GitStateFileSet::read(queue->descriptor()->gitURL).state;
    if (state == GitState::none || state == GitState::bisect) {
      if (failure) std::rethrow_exception(failure);
      return;
    }
    std::string what = failure ? localizedDescription(failure) + "\n" : std::string();
    throw TavrikError(what + std::string(title(state)) +
                      " in progress: resolve and stage the conflicts, then run `tavrik continue` (at an edit stop, "
                      "`tavrik commit` replaces the stopped commit and goes on); `tavrik abort` gives it up.");
  };
}

// The message of -m, or the bytes of the -F file ("-": standard input).
std::optional<std::string> messageOf(const std::optional<std::string>& message, const std::optional<std::string>& file) {
  if (!file) return message;
  if (*file == "-") return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  auto text = readFileIfExists(*file);
  if (!text) throw TavrikError("Cannot read the message file \"" + *file + "\"", "The file does not exist.");
  return text;
}

void printBranches(const GitExecBranchList& list, bool asJson, std::ostream& out) {
  if (asJson) return void(out << toJson(list) << "\n");
  for (const auto& branch : list.branches) out << (branch.isHead ? "* " : "  ") << branch.name << "\n";
}

// The one changed file at `path`, with its patch at git's default context:
// the same numbering `diff --patch --json` shows.
std::shared_ptr<GitDiff> patchedDiffOf(const std::shared_ptr<GitQueue>& queue, bool cached, const std::string& path) {
  auto list = runOn(queue, makeOperation<GitExecDiffOperation>({.cached = cached, .paths = {path}}));
  std::shared_ptr<GitDiff> found;
  for (const auto& diff : list.diffs)
    if (diff->newFile.path == path || (!found && diff->oldFile.path == path)) found = diff;
  if (!found)
    throw TavrikError("No " + std::string(cached ? "staged" : "unstaged") + " changes in " + quotedPath(path) +
                      ": only a tracked file with changes has lines to select.");
  auto patch = runOn(queue, makeOperation<GitExecDiffOperation>(*found, std::nullopt));
  for (const auto& diff : patch.diffs)
    if (diff->filePaths() == found->filePaths()) found->copyPatchData(*diff);
  return found;
}

// Stages, unstages or discards the listed lines of one file's patch.
VerbAction applyLines(std::string list, std::string path, bool cachedPatch, bool cachedApply, bool reverse) {
  return [=](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) {
    auto invalid = [&](const TavrikError& error) {
      return TavrikError("Invalid --lines \"" + list + "\"", error.failureReason);
    };
    GitLineSelection selection;
    try {
      selection = GitLineSelection::parse(list);
    } catch (const TavrikError& error) {
      throw invalid(error);
    }
    auto diff = patchedDiffOf(queue, cachedPatch, path);
    std::set<size_t> keep;
    try {
      keep = selection.indexes(diff->lines.size());
    } catch (const TavrikError& error) {
      throw invalid(error);
    }
    runOn(queue, makeOperation<GitExecApplyOperation>({.diff = diff, .cached = cachedApply, .reverse = reverse,
                                                       .keepLines = std::move(keep)}));
  };
}

struct VerbOptions {
  std::vector<std::string> paths, commits, names, rules;
  std::optional<std::string> treeish, start, target, message, messageFile, upstream;
  std::string name, newName, single;
  bool cached = false, recursive = false, soft = false, mixed = false, hard = false, createBranch = false,
       track = false, force = false, amend = false, signOff = false, squash = false, noFastForward = false,
       deleteTag = false, keepIndex = false, includeUntracked = false, includeIgnored = false, reinstateIndex = false,
       ours = false, theirs = false, exclude = false, unset = false;
  std::optional<std::string> contains;
  std::optional<int> index;
  bool interactive = false, root = false;
  std::vector<std::string> steps, messages;
  std::optional<std::string> moveTo;
  std::optional<std::string> lines, diffCommit;
  std::optional<int> contextLines;
  bool patch = false, firstParent = false;
};

} // namespace

std::optional<std::vector<std::string>> takeResetPaths(std::vector<std::string>& args) {
  // The verb is the first word that is not an option or an option's value
  // ("-C dir", "--prefix dir").
  size_t i = 1;
  while (i < args.size() && !args[i].empty() && args[i].front() == '-') i += (args[i] == "-C" || args[i] == "--prefix") ? 2 : 1;
  if (i >= args.size() || args[i] != "reset") return std::nullopt;
  for (size_t j = i + 1; j < args.size(); ++j) {
    if (args[j] != "--") continue;
    std::vector<std::string> paths(args.begin() + static_cast<std::ptrdiff_t>(j) + 1, args.end());
    args.resize(j);
    return paths;
  }
  return std::nullopt;
}

void addCommandVerbs(CLI::App& app, VerbAction& action, const std::function<CLI::App*(CLI::App*)>& addCommon,
                     std::optional<std::vector<std::string>> resetPaths) {
  auto o = std::make_shared<VerbOptions>();
  auto verb = [&](const char* name, const char* help) { return addCommon(app.add_subcommand(name, help)); };
  auto pathsArg = [o](CLI::App* sub) { sub->add_option("paths", o->paths, "paths relative to the working tree")->required(); };

  // With --lines, the verbs take lines of one file's patch instead of the
  // whole files.
  auto linesOption = [o](CLI::App* sub) {
    sub->add_option("--lines", o->lines,
                    "only these lines of the file's patch, as diff --patch --json numbers them (12,14-17)");
  };
  auto singlePath = [o] {
    if (o->paths.size() != 1) throw CLI::ValidationError("--lines", "give exactly one PATH");
    return o->paths.front();
  };

  auto stage = verb("stage", "stage the changes of the paths (git add --all), or with --lines some lines of one");
  pathsArg(stage);
  linesOption(stage);
  stage->callback([&action, o, singlePath] {
    if (o->lines) return void(action = applyLines(*o->lines, singlePath(), false, true, false));
    action = plain([o](auto&) { return makeOperation<GitExecAddOperation>(pathSet(o->paths)); });
  });

  auto unstage = verb("unstage", "unstage the paths (git reset -- paths), or with --lines some lines of one");
  pathsArg(unstage);
  linesOption(unstage);
  unstage->callback([&action, o, singlePath] {
    if (o->lines) return void(action = applyLines(*o->lines, singlePath(), true, true, true));
    action = plain([o](auto&) {
      return makeOperation<GitExecResetOperation>({.paths = pathSet(o->paths)});
    });
  });

  auto discard = verb("discard", "discard the working-tree changes of the paths (git checkout -- paths), "
                                 "or with --lines some lines of one");
  pathsArg(discard);
  linesOption(discard);
  discard->callback([&action, o, singlePath] {
    if (o->lines) return void(action = applyLines(*o->lines, singlePath(), false, false, true));
    action = plain([o](auto&) {
      return makeOperation<GitExecCheckoutOperation>({.paths = pathSet(o->paths)});
    });
  });

  auto rm = verb("rm", "remove the paths from the index and the working tree");
  pathsArg(rm);
  rm->add_flag("--cached", o->cached, "keep the files in the working tree");
  rm->add_flag("-r", o->recursive, "remove folders recursively");
  rm->callback([&action, o] {
    action = plain([o](auto&) { return makeOperation<GitExecRmOperation>({.paths = pathSet(o->paths),
                                                                          .cached = o->cached,
                                                                          .recursive = o->recursive}); });
  });

  auto reset = verb("reset", "reset HEAD, the index or paths: reset [--soft|--mixed|--hard] [TREEISH] [-- PATH...]");
  reset->add_flag("--soft", o->soft, "move HEAD only");
  reset->add_flag("--mixed", o->mixed, "move HEAD and reset the index");
  reset->add_flag("--hard", o->hard, "move HEAD and reset the index and the working tree");
  reset->add_option("treeish", o->treeish, "the commit to reset to");
  reset->callback([&action, o, resetPaths] {
    action = plain([o, resetPaths](auto&) {
      std::optional<std::set<std::string>> paths;
      if (resetPaths) paths = pathSet(*resetPaths);
      // git takes the last of several modes; they were passed soft, mixed, hard.
      auto mode = o->hard    ? GitExecResetMode::hard
                  : o->mixed ? GitExecResetMode::mixed
                  : o->soft  ? GitExecResetMode::soft
                             : GitExecResetMode::none;
      return makeOperation<GitExecResetOperation>({.mode = mode, .treeish = o->treeish, .paths = paths});
    });
  });

  auto checkout = verb("checkout", "switch to a branch or commit, or create a branch with -b");
  checkout->add_flag("-b", o->createBranch, "create the branch TREEISH at HEAD");
  checkout->add_flag("--track", o->track, "set the upstream of the new branch");
  checkout->add_option("treeish", o->treeish, "branch, tag or commit")->required();
  checkout->callback([&action, o] {
    action = plain([o](auto&) {
      return makeOperation<GitExecCheckoutOperation>({.treeish = o->treeish, .createBranch = o->createBranch,
                                                      .track = o->track});
    });
  });

  auto commit = verb("commit", "commit the index (continues a rebase that waits for a commit)");
  auto commitMessage = commit->add_option("-m,--message", o->message, "the commit message");
  commit->add_option("-F,--file", o->messageFile, "read the message from FILE (- for standard input)")
      ->excludes(commitMessage);
  commit->add_flag("--amend", o->amend, "replace the last commit");
  commit->add_flag("--signoff", o->signOff, "add a Signed-off-by trailer");
  commit->callback([&action, o] {
    if (!o->message && !o->messageFile) throw CLI::ValidationError("commit", "give -m MESSAGE or -F FILE");
    action = stopping([o](auto&) {
      return makeOperation<GitCommitAction>({.message = *messageOf(o->message, o->messageFile), .signOff = o->signOff,
                                             .amend = o->amend});
    });
  });

  auto branch = verb("branch", "list branches, or create, delete, move, copy them and set their upstreams");
  branch->add_option("--contains", o->contains, "list the local and remote branches that contain COMMIT");
  branch->require_subcommand(0, 1);
  branch->callback([&action, o, branch] {
    if (!branch->get_subcommands().empty()) return;
    action = [o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
      auto op = o->contains ? GitExecBranchOperation::containing(*o->contains) : GitExecBranchOperation::list();
      printBranches(runOn(queue, op), asJson, out);
    };
  });
  auto create = addCommon(branch->add_subcommand("create", "create branch NAME at START (default HEAD)"));
  create->add_option("name", o->name)->required();
  create->add_option("start", o->start);
  create->add_flag("--track", o->track, "set START as the upstream");
  create->callback([&action, o] {
    action = plain([o](auto&) { return GitExecBranchOperation::create(o->name, o->start, o->track); });
  });
  auto remove = addCommon(branch->add_subcommand("delete", "delete branches"));
  remove->add_option("names", o->names)->required();
  remove->add_flag("--force", o->force, "delete even when not merged");
  remove->callback([&action, o] {
    action = plain([o](auto&) { return GitExecBranchOperation::deleteBranches(o->names, o->force); });
  });
  for (const char* kind : {"move", "copy"}) {
    const bool isMove = std::string(kind) == "move";
    auto sub = addCommon(branch->add_subcommand(kind, isMove ? "rename branch OLD to NEW" : "copy branch OLD to NEW"));
    sub->add_option("old", o->name)->required();
    sub->add_option("new", o->newName)->required();
    sub->add_flag("--force", o->force, "replace an existing NEW");
    sub->callback([&action, o, isMove] {
      action = plain([o, isMove](auto&) {
        return isMove ? GitExecBranchOperation::moveBranch(o->name, o->newName, o->force)
                      : GitExecBranchOperation::copyBranch(o->name, o->newName, o->force);
      });
    });
  }
  auto upstream = addCommon(branch->add_subcommand("upstream", "set (NAME UPSTREAM) or unset (--unset NAME) an upstream"));
  upstream->add_flag("--unset", o->unset, "remove the upstream of NAME");
  upstream->add_option("name", o->name)->required();
  upstream->add_option("upstream", o->upstream);
  upstream->callback([&action, o] {
    if (!o->unset && !o->upstream) throw CLI::ValidationError("upstream", "give UPSTREAM, or --unset");
    action = plain([o](auto&) {
      return o->unset ? GitExecBranchOperation::unsetUpstreamOf(o->name)
                      : GitExecBranchOperation::setUpstream(*o->upstream, o->name);
    });
  });

  auto tag = verb("tag", "create tag NAME at TARGET (annotated with -m), or delete it with --delete");
  tag->add_option("name", o->name)->required();
  tag->add_option("target", o->target);
  auto tagMessage = tag->add_option("-m,--message", o->message, "make an annotated tag with this message");
  tag->add_option("-F,--file", o->messageFile, "annotate with the message of FILE (- for standard input)")
      ->excludes(tagMessage);
  tag->add_flag("--force", o->force, "replace an existing tag");
  tag->add_flag("--delete", o->deleteTag, "delete the tag");
  tag->callback([&action, o] {
    action = plain([o](auto&) {
      return o->deleteTag ? GitExecTagOperation::deleteTagNamed(o->name)
                          : GitExecTagOperation::create(o->name, o->target, messageOf(o->message, o->messageFile),
                                                        o->force);
    });
  });

  auto merge = verb("merge", "merge REFISH into the current branch");
  merge->add_option("refish", o->single)->required();
  merge->add_flag("--squash", o->squash, "stage the merged changes without committing");
  merge->add_flag("--no-ff", o->noFastForward, "always create a merge commit");
  merge->callback([&action, o] {
    action = stopping([o](auto&) { return makeOperation<GitExecMergeOperation>({.refish = o->single,
                                                                                .squash = o->squash,
                                                                                .noFastForward = o->noFastForward}); });
  });

  auto rebase = verb("rebase", "rebase the current branch onto REFISH; with --interactive, by a plan of --do steps");
  rebase->add_option("refish", o->single, "the upstream to rebase onto");
  rebase->add_flag("-i,--interactive", o->interactive, "replay the commits by the plan given with --do and --move-to");
  rebase->add_flag("--root", o->root, "with --interactive: rebase every commit down to the root");
  rebase->add_option("--do", o->steps, "VERB=COMMIT: pick, reword, edit, squash, fixup, drop or move a commit")
      ->allow_extra_args(false);
  rebase->add_option("--move-to", o->moveTo, "above=COMMIT or below=COMMIT: where the moved commits go");
  rebase->add_option("--message", o->messages, "COMMIT=TEXT: the new message of a reworded commit")
      ->allow_extra_args(false);
  rebase->callback([&action, o] {
    if (!o->interactive) {
      if (o->single.empty()) throw CLI::ValidationError("rebase", "give REFISH");
      action = stopping([o](auto&) { return makeOperation<GitExecRebaseOperation>({.refish = o->single}); });
      return;
    }
    if (o->root == !o->single.empty()) throw CLI::ValidationError("rebase", "give REFISH or --root, not both");
    action = stopping([o](const std::shared_ptr<GitQueue>& queue) {
      auto plan = std::make_shared<GitRebasePlan>(GitRebasePlan::fromText(
          {.steps = o->steps, .moveTo = o->moveTo, .messages = o->messages,
           .base = o->single.empty() ? std::nullopt : std::optional(o->single)},
          [&](const std::string& name) { return commitIds(queue, {name}).front(); }));
      auto editor = GitSocketEditor::create(*queue->descriptor(), plan->request,
                                            [plan](const std::string&, const std::optional<std::string>& commit) {
                                              return plan->messageFor(commit.value_or(""));
                                            });
      return GitExecRebaseOperation::interactiveRebase(o->root ? std::nullopt : std::optional(o->single), editor);
    });
  });

  auto pick = verb("cherry-pick", "apply the changes of commits on top of HEAD");
  pick->add_option("commits", o->commits)->required();
  pick->callback([&action, o] {
    action = stopping([o](auto& queue) { return makeOperation<GitExecCherryPickOperation>(
        {.commits = commitIds(queue, o->commits)}); });
  });

  auto revert = verb("revert", "commit the reverse of COMMIT");
  revert->add_option("commit", o->single)->required();
  revert->callback([&action, o] {
    action = stopping([o](auto& queue) {
      return makeOperation<GitExecRevertOperation>({.oid = commitIds(queue, {o->single}).front()});
    });
  });

  verb("continue", "continue the merge, rebase, cherry-pick or revert in progress")->callback([&action] {
    action = stopping([](auto&) { return makeOperation<GitContinueAction>(); });
  });
  verb("abort", "abort the merge, rebase, cherry-pick, revert, bisect or mailbox apply in progress")->callback([&action] {
    action = plain([](auto&) { return makeOperation<GitAbortAction>(); });
  });

  auto stash = verb("stash", "save the local changes in a stash, list the stashes, or apply, pop or drop one");
  stash->require_subcommand(1);
  auto save = addCommon(stash->add_subcommand("save", "stash the local changes"));
  save->add_option("-m,--message", o->message, "the stash message");
  save->add_flag("--keep-index", o->keepIndex, "leave the staged changes in place");
  save->add_flag("--include-untracked", o->includeUntracked, "stash untracked files too");
  save->add_flag("--all", o->includeIgnored, "stash untracked and ignored files too");
  save->callback([&action, o] {
    action = plain([o](auto&) {
      return GitExecStashOperation::save(o->message, o->keepIndex, o->includeUntracked, o->includeIgnored);
    });
  });
  for (const char* kind : {"apply", "pop", "drop"}) {
    const std::string name = kind;
    auto sub = addCommon(stash->add_subcommand(kind, name + " stash N (default the latest)"));
    sub->add_option("index", o->index, "the stash number N of stash@{N}");
    if (name != "drop") sub->add_flag("--index", o->reinstateIndex, "restore the staged changes as staged");
    sub->callback([&action, o, name] {
      action = plain([o, name](auto&) {
        if (name == "apply") return GitExecStashOperation::apply(o->index, o->reinstateIndex);
        if (name == "pop") return GitExecStashOperation::pop(o->index, o->reinstateIndex);
        return GitExecStashOperation::drop(o->index);
      });
    });
  }

  auto trash = verb("trash", "unstage the paths and move them to the trash");
  pathsArg(trash);
  trash->callback([&action, o] { action = plain([o](auto&) { return makeOperation<GitTrashAction>(pathSet(o->paths)); }); });

  auto resolve = verb("resolve", "resolve a conflict in PATH by taking one side");
  resolve->add_option("path", o->single)->required();
  auto ours = resolve->add_flag("--ours", o->ours, "take our side");
  resolve->add_flag("--theirs", o->theirs, "take their side")->excludes(ours);
  resolve->callback([&action, o] {
    if (o->ours == o->theirs) throw CLI::ValidationError("resolve", "give --ours or --theirs");
    action = [o](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) {
      runOn(queue, makeOperation<GitConflictResolveAction>(o->single, o->ours));
    };
  });

  auto ignore = verb("ignore", "append patterns to .gitignore (or info/exclude with --exclude)");
  ignore->add_option("patterns", o->rules)->required();
  ignore->add_flag("--exclude", o->exclude, "write to the repository's info/exclude instead");
  ignore->callback([&action, o] {
    action = plain([o](auto&) {
      return makeOperation<GitAppendRulesOperation>(
          o->exclude ? GitConfigFile::localExclude : GitConfigFile::localGitignore, o->rules);
    });
  });

  auto diff = verb("diff", "the changed files with their line counts, or with --patch their patches");
  auto cachedFlag =
      diff->add_flag("--cached", o->cached, "the index against HEAD, not the working tree against the index");
  diff->add_option("--commit", o->diffCommit, "the changes of COMMIT against its parent")->excludes(cachedFlag);
  diff->add_flag("-p,--patch", o->patch, "print the patches, exactly as git does");
  diff->add_flag("--first-parent", o->firstParent, "with --commit: a merge against its first parent");
  diff->add_option("-U,--unified", o->contextLines, "lines of context around each change (implies --patch)");
  diff->add_option("paths", o->paths, "paths relative to the working tree");
  diff->callback([&action, o] {
    action = [o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
      std::optional<Oid> commit;
      if (o->diffCommit) commit = commitIds(queue, {*o->diffCommit}).front();
      const bool withPatch = o->patch || o->contextLines;
      auto request = GitExecDiffOperation::patch(o->cached, commit, o->firstParent, o->paths, o->contextLines);
      if (withPatch && !asJson) {
        // The patch alone, streamed as git printed it: no listing needed.
        auto patches = runOn(queue, request);
        for (const auto& d : patches.diffs) out << d->formatPatch();
        return;
      }
      auto list = runOn(queue, commit ? makeOperation<GitExecDiffOperation>(*commit, o->firstParent, o->paths)
                                      : makeOperation<GitExecDiffOperation>({.cached = o->cached, .paths = o->paths}));
      if (!withPatch && !asJson) return printDiffStats(out, list);
      // Written record by record: a document of a large patch's lines would
      // cost several times the patch.
      writeJson(out, withPatch ? patchesWithListing(runOn(queue, request), list) : list, withPatch);
      out << "\n";
    };
  });

  auto mergeBase = verb("merge-base", "the best common ancestor of the commits");
  mergeBase->add_option("commits", o->commits)->required();
  mergeBase->callback([&action, o] {
    action = [o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
      auto base = runOn(queue, makeOperation<GitExecMergeBaseOperation>(commitIds(queue, o->commits)));
      if (asJson)
        out << json{{"oid", base.string()}}.dump() << "\n";
      else
        out << base.string() << "\n";
    };
  });
}

namespace {
// CLI11 splits a word like "[a,b]" given to a list into "a" and "b" before
// any hook sees it, and a list argument cannot refuse that. Such words are
// parsed with this byte in front, which every option removes again; so is
// a word that begins with it, so that removing one restores any word.
constexpr char kVerbatimMark = '\x01';

void removeVerbatimMarks(CLI::App& app) {
  const CLI::Validator unmark(
      [](std::string& word) {
        if (!word.empty() && word.front() == kVerbatimMark) word.erase(0, 1);
        return std::string();
      },
      "");
  for (auto* option : app.get_options()) option->transform(unmark);
  for (auto* sub : app.get_subcommands([](CLI::App*) { return true; })) removeVerbatimMarks(*sub);
}
} // namespace

void takeArgumentsAsTyped(CLI::App& app, std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    auto& word = args[i];
    if ((word.size() >= 2 && word.front() == '[' && word.back() == ']') || (!word.empty() && word.front() == kVerbatimMark))
      word.insert(word.begin(), kVerbatimMark);
  }
  removeVerbatimMarks(app);
}

} // namespace tavrik::cli
