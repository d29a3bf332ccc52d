#include "CommandVerbs.h"

#include "tavrik/Json/GitJson.h"
#include "RemoteVerbs.h"
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

#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace tavrik::cli {

namespace {

std::vector<Oid> commitIds(const std::shared_ptr<GitQueue>& queue, const std::vector<std::string>& revisions) {
  std::vector<Oid> ids;
  for (const auto& revision : revisions) ids.push_back(runOn(queue, makeOperation<GitExecRevParseCommitOperation>(revision)));
  return ids;
}

std::set<std::string> pathSet(const std::vector<std::string>& paths) { return {paths.begin(), paths.end()}; }

// Operations without a result: run, wait, print nothing.
template <class Make> VerbRun plain(Make make) {
  return [make](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) { runOn(queue, make(queue)); };
}

// Verbs that may leave a merge, rebase, cherry-pick or revert waiting for
// the user (a conflict, an edit stop) fail then, saying how to go on, even
// when git itself stopped with status 0.
template <class Make> VerbRun stopping(Make make) {
  return [make](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) {
    std::exception_ptr failure;
    try {
      auto operation = make(queue);
      // Each of these may make commits that git signs: a key's passphrase is
      // asked on the terminal.
      if (auto signing = std::dynamic_pointer_cast<GitSigningPrompts>(operation); signing && !signing->signingAuth)
        signing->signingAuth = terminalAuth();
      runOn(queue, operation);
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
VerbRun applyLines(std::string list, std::string path, bool cachedPatch, bool cachedApply, bool reverse) {
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
       ours = false, theirs = false, exclude = false, unset = false, sign = false, noSign = false;
  std::optional<std::string> contains;
  std::optional<int> index;
  bool interactive = false, root = false;
  std::vector<std::string> steps, messages;
  std::optional<std::string> moveTo;
  std::optional<std::string> lines, diffCommit;
  std::optional<int> contextLines;
  bool patch = false, firstParent = false;
};

GitSigning signingOf(const VerbOptions& o) {
  return o.sign ? GitSigning::sign : o.noSign ? GitSigning::doNotSign : GitSigning::asConfigured;
}

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

std::vector<VerbSpec> commandVerbs(std::optional<std::vector<std::string>> resetPaths) {
  auto o = std::make_shared<VerbOptions>();
  auto pathsArg = [o](CLI::App& verb) { verb.add_option("paths", o->paths, "paths relative to the working tree")->required(); };
  // With --lines, the verbs take lines of one file's patch instead of the
  // whole files.
  auto pathsOrLines = [o](CLI::App& verb) {
    verb.add_option("paths", o->paths, "paths relative to the working tree")->required();
    verb.add_option("--lines", o->lines,
                    "only these lines of the file's patch, as diff --patch --json numbers them (12,14-17)");
  };
  auto singlePath = [o] {
    if (o->paths.size() != 1) throw CLI::ValidationError("--lines", "give exactly one PATH");
    return o->paths.front();
  };
  auto messageOptions = [o](CLI::App& verb, const char* messageHelp, const char* fileHelp) {
    auto message = verb.add_option("-m,--message", o->message, messageHelp);
    verb.add_option("-F,--file", o->messageFile, fileHelp)->excludes(message);
  };

  std::vector<VerbSpec> verbs = {
      {"stage", "stage the changes of the paths (git add --all), or with --lines some lines of one", pathsOrLines,
       [o, singlePath](const CLI::App&) -> VerbRun {
         if (o->lines) return applyLines(*o->lines, singlePath(), false, true, false);
         return plain([o](auto&) { return makeOperation<GitExecAddOperation>(pathSet(o->paths)); });
       }},
      {"unstage", "unstage the paths (git reset -- paths), or with --lines some lines of one", pathsOrLines,
       [o, singlePath](const CLI::App&) -> VerbRun {
         if (o->lines) return applyLines(*o->lines, singlePath(), true, true, true);
         return plain([o](auto&) { return makeOperation<GitExecResetOperation>({.paths = pathSet(o->paths)}); });
       }},
      {"discard",
       "discard the working-tree changes of the paths (git checkout -- paths), or with --lines some lines of one",
       pathsOrLines,
       [o, singlePath](const CLI::App&) -> VerbRun {
         if (o->lines) return applyLines(*o->lines, singlePath(), false, false, true);
         return plain([o](auto&) { return makeOperation<GitExecCheckoutOperation>({.paths = pathSet(o->paths)}); });
       }},
      {"rm", "remove the paths from the index and the working tree",
       [o, pathsArg](CLI::App& verb) {
         pathsArg(verb);
         verb.add_flag("--cached", o->cached, "keep the files in the working tree");
         verb.add_flag("-r", o->recursive, "remove folders recursively");
       },
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) {
           return makeOperation<GitExecRmOperation>(
               {.paths = pathSet(o->paths), .cached = o->cached, .recursive = o->recursive});
         });
       }},
      {"reset", "reset HEAD, the index or paths: reset [--soft|--mixed|--hard] [TREEISH] [-- PATH...]",
       [o](CLI::App& verb) {
         verb.add_flag("--soft", o->soft, "move HEAD only");
         verb.add_flag("--mixed", o->mixed, "move HEAD and reset the index");
         verb.add_flag("--hard", o->hard, "move HEAD and reset the index and the working tree");
         verb.add_option("treeish", o->treeish, "the commit to reset to");
       },
       [o, resetPaths](const CLI::App&) -> VerbRun {
         return plain([o, resetPaths](auto&) {
           std::optional<std::set<std::string>> paths;
           if (resetPaths) paths = pathSet(*resetPaths);
           // git takes the last of several modes; they were passed soft, mixed, hard.
           auto mode = o->hard    ? GitExecResetMode::hard
                       : o->mixed ? GitExecResetMode::mixed
                       : o->soft  ? GitExecResetMode::soft
                                  : GitExecResetMode::none;
           return makeOperation<GitExecResetOperation>({.mode = mode, .treeish = o->treeish, .paths = paths});
         });
       }},
      {"checkout", "switch to a branch or commit, or create a branch with -b",
       [o](CLI::App& verb) {
         verb.add_flag("-b", o->createBranch, "create the branch TREEISH at HEAD");
         verb.add_flag("--track", o->track, "set the upstream of the new branch");
         verb.add_option("treeish", o->treeish, "branch, tag or commit")->required();
       },
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) {
           return makeOperation<GitExecCheckoutOperation>(
               {.treeish = o->treeish, .createBranch = o->createBranch, .track = o->track});
         });
       }},
      {"commit", "commit the index (continues a rebase that waits for a commit)",
       [o, messageOptions](CLI::App& verb) {
         messageOptions(verb, "the commit message", "read the message from FILE (- for standard input)");
         verb.add_flag("--amend", o->amend, "replace the last commit");
         verb.add_flag("--signoff", o->signOff, "add a Signed-off-by trailer");
         verb.add_flag("-S,--gpg-sign", o->sign, "sign the commit (commit.gpgSign decides otherwise)")
             ->excludes(verb.add_flag("--no-gpg-sign", o->noSign, "do not sign the commit"));
       },
       [o](const CLI::App&) -> VerbRun {
         if (!o->message && !o->messageFile) throw CLI::ValidationError("commit", "give -m MESSAGE or -F FILE");
         return stopping([o](auto&) {
           return makeOperation<GitCommitAction>({.message = *messageOf(o->message, o->messageFile),
                                                  .signOff = o->signOff,
                                                  .amend = o->amend,
                                                  .sign = signingOf(*o)});
         });
       }},
      {"branch", "list branches, or create, delete, move, copy them and set their upstreams",
       [o](CLI::App& verb) {
         verb.add_option("--contains", o->contains, "list the local and remote branches that contain COMMIT");
         verb.require_subcommand(0, 1);
       },
       [o](const CLI::App&) -> VerbRun {
         return [o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           auto op = o->contains ? GitExecBranchOperation::containing(*o->contains) : GitExecBranchOperation::list();
           printBranches(runOn(queue, op), asJson, out);
         };
       }},
      {"branch create", "create branch NAME at START (default HEAD)",
       [o](CLI::App& verb) {
         verb.add_option("name", o->name)->required();
         verb.add_option("start", o->start);
         verb.add_flag("--track", o->track, "set START as the upstream");
       },
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) { return GitExecBranchOperation::create(o->name, o->start, o->track); });
       }},
      {"branch delete", "delete branches",
       [o](CLI::App& verb) {
         verb.add_option("names", o->names)->required();
         verb.add_flag("--force", o->force, "delete even when not merged");
       },
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) { return GitExecBranchOperation::deleteBranches(o->names, o->force); });
       }},
  };
  for (const bool isMove : {true, false}) {
    verbs.push_back({isMove ? "branch move" : "branch copy", isMove ? "rename branch OLD to NEW" : "copy branch OLD to NEW",
                     [o](CLI::App& verb) {
                       verb.add_option("old", o->name)->required();
                       verb.add_option("new", o->newName)->required();
                       verb.add_flag("--force", o->force, "replace an existing NEW");
                     },
                     [o, isMove](const CLI::App&) -> VerbRun {
                       return plain([o, isMove](auto&) {
                         return isMove ? GitExecBranchOperation::moveBranch(o->name, o->newName, o->force)
                                       : GitExecBranchOperation::copyBranch(o->name, o->newName, o->force);
                       });
                     }});
  }
  verbs.insert(verbs.end(), {
      {"branch upstream", "set (NAME UPSTREAM) or unset (--unset NAME) an upstream",
       [o](CLI::App& verb) {
         verb.add_flag("--unset", o->unset, "remove the upstream of NAME");
         verb.add_option("name", o->name)->required();
         verb.add_option("upstream", o->upstream);
       },
       [o](const CLI::App&) -> VerbRun {
         if (!o->unset && !o->upstream) throw CLI::ValidationError("upstream", "give UPSTREAM, or --unset");
         return plain([o](auto&) {
           return o->unset ? GitExecBranchOperation::unsetUpstreamOf(o->name)
                           : GitExecBranchOperation::setUpstream(*o->upstream, o->name);
         });
       }},
      {"tag", "create tag NAME at TARGET (annotated with -m), or delete it with --delete",
       [o, messageOptions](CLI::App& verb) {
         verb.add_option("name", o->name)->required();
         verb.add_option("target", o->target);
         messageOptions(verb, "make an annotated tag with this message",
                        "annotate with the message of FILE (- for standard input)");
         verb.add_flag("--force", o->force, "replace an existing tag");
         verb.add_flag("--delete", o->deleteTag, "delete the tag");
         verb.add_flag("-s,--sign", o->sign, "sign the annotated tag (tag.gpgSign decides otherwise)")
             ->excludes(verb.add_flag("--no-sign", o->noSign, "do not sign the annotated tag"));
       },
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) {
           if (o->deleteTag) return GitExecTagOperation::deleteTagNamed(o->name);
           auto tag = makeOperation<GitExecTagOperation>({.tag = o->name,
                                                          .target = o->target,
                                                          .message = messageOf(o->message, o->messageFile),
                                                          .force = o->force,
                                                          .sign = signingOf(*o)});
           tag->signingAuth = terminalAuth();
           return tag;
         });
       }},
      {"merge", "merge REFISH into the current branch",
       [o](CLI::App& verb) {
         verb.add_option("refish", o->single)->required();
         verb.add_flag("--squash", o->squash, "stage the merged changes without committing");
         verb.add_flag("--no-ff", o->noFastForward, "always create a merge commit");
       },
       [o](const CLI::App&) -> VerbRun {
         return stopping([o](auto&) {
           return makeOperation<GitExecMergeOperation>(
               {.refish = o->single, .squash = o->squash, .noFastForward = o->noFastForward});
         });
       }},
      {"rebase", "rebase the current branch onto REFISH; with --interactive, by a plan of --do steps",
       [o](CLI::App& verb) {
         verb.add_option("refish", o->single, "the upstream to rebase onto");
         verb.add_flag("-i,--interactive", o->interactive,
                       "replay the commits by the plan given with --do and --move-to");
         verb.add_flag("--root", o->root, "with --interactive: rebase every commit down to the root");
         verb.add_option("--do", o->steps, "VERB=COMMIT: pick, reword, edit, squash, fixup, drop or move a commit")
             ->allow_extra_args(false);
         verb.add_option("--move-to", o->moveTo, "above=COMMIT or below=COMMIT: where the moved commits go");
         verb.add_option("--message", o->messages, "COMMIT=TEXT: the new message of a reworded commit")
             ->allow_extra_args(false);
       },
       [o](const CLI::App&) -> VerbRun {
         if (!o->interactive) {
           if (o->single.empty()) throw CLI::ValidationError("rebase", "give REFISH");
           return stopping([o](auto&) { return makeOperation<GitExecRebaseOperation>({.refish = o->single}); });
         }
         if (o->root == !o->single.empty()) throw CLI::ValidationError("rebase", "give REFISH or --root, not both");
         return stopping([o](const std::shared_ptr<GitQueue>& queue) {
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
       }},
      {"cherry-pick", "apply the changes of commits on top of HEAD",
       [o](CLI::App& verb) { verb.add_option("commits", o->commits)->required(); },
       [o](const CLI::App&) -> VerbRun {
         return stopping([o](auto& queue) {
           return makeOperation<GitExecCherryPickOperation>({.commits = commitIds(queue, o->commits)});
         });
       }},
      {"revert", "commit the reverse of COMMIT", [o](CLI::App& verb) { verb.add_option("commit", o->single)->required(); },
       [o](const CLI::App&) -> VerbRun {
         return stopping([o](auto& queue) {
           return makeOperation<GitExecRevertOperation>({.oid = commitIds(queue, {o->single}).front()});
         });
       }},
      {"continue", "continue the merge, rebase, cherry-pick or revert in progress", nullptr,
       [](const CLI::App&) -> VerbRun { return stopping([](auto&) { return makeOperation<GitContinueAction>(); }); }},
      {"abort", "abort the merge, rebase, cherry-pick, revert, bisect or mailbox apply in progress", nullptr,
       [](const CLI::App&) -> VerbRun { return plain([](auto&) { return makeOperation<GitAbortAction>(); }); }},
      verbGroup("stash", "save the local changes in a stash, list the stashes, or apply, pop or drop one"),
      {"stash save", "stash the local changes",
       [o](CLI::App& verb) {
         verb.add_option("-m,--message", o->message, "the stash message");
         verb.add_flag("--keep-index", o->keepIndex, "leave the staged changes in place");
         verb.add_flag("--include-untracked", o->includeUntracked, "stash untracked files too");
         verb.add_flag("--all", o->includeIgnored, "stash untracked and ignored files too");
       },
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) {
           return GitExecStashOperation::save(o->message, o->keepIndex, o->includeUntracked, o->includeIgnored);
         });
       }},
  });
  for (const std::string name : {"apply", "pop", "drop"}) {
    verbs.push_back({"stash " + name, name + " stash N (default the latest)",
                     [o, name](CLI::App& verb) {
                       verb.add_option("index", o->index, "the stash number N of stash@{N}");
                       if (name != "drop")
                         verb.add_flag("--index", o->reinstateIndex, "restore the staged changes as staged");
                     },
                     [o, name](const CLI::App&) -> VerbRun {
                       return plain([o, name](auto&) {
                         if (name == "apply") return GitExecStashOperation::apply(o->index, o->reinstateIndex);
                         if (name == "pop") return GitExecStashOperation::pop(o->index, o->reinstateIndex);
                         return GitExecStashOperation::drop(o->index);
                       });
                     }});
  }
  verbs.insert(verbs.end(), {
      {"trash", "unstage the paths and move them to the trash", pathsArg,
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) { return makeOperation<GitTrashAction>(pathSet(o->paths)); });
       }},
      {"resolve", "resolve a conflict in PATH by taking one side",
       [o](CLI::App& verb) {
         verb.add_option("path", o->single)->required();
         auto ours = verb.add_flag("--ours", o->ours, "take our side");
         verb.add_flag("--theirs", o->theirs, "take their side")->excludes(ours);
       },
       [o](const CLI::App&) -> VerbRun {
         if (o->ours == o->theirs) throw CLI::ValidationError("resolve", "give --ours or --theirs");
         return plain([o](auto&) { return makeOperation<GitConflictResolveAction>(o->single, o->ours); });
       }},
      {"ignore", "append patterns to .gitignore (or info/exclude with --exclude)",
       [o](CLI::App& verb) {
         verb.add_option("patterns", o->rules)->required();
         verb.add_flag("--exclude", o->exclude, "write to the repository's info/exclude instead");
       },
       [o](const CLI::App&) -> VerbRun {
         return plain([o](auto&) {
           return makeOperation<GitAppendRulesOperation>(
               o->exclude ? GitConfigFile::localExclude : GitConfigFile::localGitignore, o->rules);
         });
       }},
      {"diff", "the changed files with their line counts, or with --patch their patches",
       [o](CLI::App& verb) {
         auto cachedFlag =
             verb.add_flag("--cached", o->cached, "the index against HEAD, not the working tree against the index");
         verb.add_option("--commit", o->diffCommit, "the changes of COMMIT against its parent")->excludes(cachedFlag);
         verb.add_flag("-p,--patch", o->patch, "print the patches, exactly as git does");
         verb.add_flag("--first-parent", o->firstParent, "with --commit: a merge against its first parent");
         verb.add_option("-U,--unified", o->contextLines, "lines of context around each change (implies --patch)");
         verb.add_option("paths", o->paths, "paths relative to the working tree");
       },
       [o](const CLI::App&) -> VerbRun {
         return [o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           std::optional<Oid> commit;
           if (o->diffCommit) commit = commitIds(queue, {*o->diffCommit}).front();
           const bool withPatch = o->patch || o->contextLines;
           auto request = makeOperation<GitExecDiffOperation>({.raw = false,
                                                               .cached = o->cached,
                                                               .firstParent = o->firstParent,
                                                               .paths = o->paths,
                                                               .commit = commit,
                                                               .contextLines = o->contextLines});
           if (withPatch && !asJson) {
             // The patch alone, streamed as git printed it: no listing needed.
             auto patches = runOn(queue, request);
             for (const auto& d : patches.diffs) out << d->formatPatch();
             return;
           }
           auto list =
               runOn(queue, commit ? makeOperation<GitExecDiffOperation>(*commit, o->firstParent, o->paths)
                                   : makeOperation<GitExecDiffOperation>({.cached = o->cached, .paths = o->paths}));
           if (!withPatch && !asJson) return printDiffStats(out, list);
           // Written record by record: a document of a large patch's lines would
           // cost several times the patch.
           writeJson(out, withPatch ? patchesWithListing(runOn(queue, request), list) : list, withPatch);
           out << "\n";
         };
       }},
      {"merge-base", "the best common ancestor of the commits",
       [o](CLI::App& verb) { verb.add_option("commits", o->commits)->required(); },
       [o](const CLI::App&) -> VerbRun {
         return [o](const std::shared_ptr<GitQueue>& queue, bool asJson, std::ostream& out) {
           auto base = runOn(queue, makeOperation<GitExecMergeBaseOperation>(commitIds(queue, o->commits)));
           out << (asJson ? commitJson(base) : base.string()) << "\n";
         };
       }},
  });
  return verbs;
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
