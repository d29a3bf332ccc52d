#include "RepositoryToolVerbs.h"

#include "CommandVerbs.h"
#include "TextOutput.h"
#include "tavrik/Commands/WorktreeCommands.h"
#include "tavrik/Json/GitJson.h"
#include "tavrik/State/GitViewWorktreesOperation.h"

#include <filesystem>

namespace tavrik::cli {

namespace {

struct WorktreeArgs {
  std::string path, newPath;
  std::optional<std::string> branch, newBranch, reason;
  bool detach = false, force = false;
};

// git resolves a relative path against the repository's top folder, where
// the queue runs it; the user means the folder the client was started in.
std::string absolute(const std::string& path) {
  if (path.empty() || path.front() == '-') return path; // refused by the operation
  return std::filesystem::absolute(path).lexically_normal().string();
}

VerbRun listWorktrees() {
  return [](const std::shared_ptr<GitQueue>& queue, bool json, std::ostream& out) {
    const auto worktrees = runOn(queue, makeOperation<GitViewWorktreesOperation>());
    if (json) return void(out << toJson(worktrees) << "\n");
    for (const auto& w : worktrees) {
      out << shownText(w.path) << '\t' << (w.head ? w.head->string().substr(0, 7) : std::string("-------")) << '\t';
      if (w.isBare) out << "(bare)";
      else if (w.branch) out << '[' << shownText(GitRef::shorthandFor(*w.branch)) << ']';
      else out << "(detached HEAD)";
      if (w.isLocked) out << "\tlocked" << (w.lockReason.empty() ? "" : ": " + shownText(w.lockReason));
      if (w.isPrunable) out << "\tprunable: " << shownText(w.prunableReason);
      out << '\n';
    }
  };
}

template <class Make> VerbRun running(Make make) {
  return [make](const std::shared_ptr<GitQueue>& queue, bool, std::ostream&) { runOn(queue, make()); };
}

} // namespace

std::vector<VerbSpec> worktreeVerbs() {
  auto o = std::make_shared<WorktreeArgs>();
  auto pathArg = [o](CLI::App& verb) { verb.add_option("path", o->path, "the worktree's folder")->required(); };
  std::vector<VerbSpec> verbs{
      {"worktree", "list the working trees of the repository, or add, remove, move, lock, unlock or prune one",
       nullptr, [](const CLI::App&) -> VerbRun { return listWorktrees(); }},
      {"worktree list", "list the working trees, the main one first", nullptr,
       [](const CLI::App&) -> VerbRun { return listWorktrees(); }},
      {"worktree add", "add a working tree at PATH checking out BRANCH (a new branch with -b, a commit with --detach)",
       [o](CLI::App& verb) {
         verb.add_option("path", o->path, "the new worktree's folder")->required();
         verb.add_option("branch", o->branch, "the branch to check out; the start commit with -b or --detach");
         verb.add_option("-b", o->newBranch, "make a new branch NEW");
         verb.add_flag("--detach", o->detach, "check out the commit with a detached HEAD");
         verb.add_flag("-f,--force", o->force, "check out a branch checked out elsewhere too");
       },
       [o](const CLI::App&) -> VerbRun {
         if (o->detach && o->newBranch) throw CLI::ValidationError("worktree add", "-b and --detach exclude each other");
         return running([o] {
           GitExecWorktreeOptions options{.path = absolute(o->path), .force = o->force};
           if (o->newBranch) {
             options.checkout = GitWorktreeCheckout::newBranch;
             options.branch = o->newBranch;
             options.start = o->branch;
           } else if (o->detach) {
             options.checkout = GitWorktreeCheckout::detached;
             options.start = o->branch;
           } else {
             options.branch = o->branch;
           }
           return makeOperation<GitExecWorktreeOperation>(std::move(options));
         });
       }},
      {"worktree remove", "remove the working tree at PATH",
       [o, pathArg](CLI::App& verb) {
         pathArg(verb);
         verb.add_flag("-f,--force", o->force, "remove it even with changes");
       },
       [o](const CLI::App&) -> VerbRun {
         return running([o] { return GitExecWorktreeOperation::remove(absolute(o->path), o->force); });
       }},
      {"worktree move", "move the working tree at OLD to NEW",
       [o](CLI::App& verb) {
         verb.add_option("old", o->path, "the worktree's folder")->required();
         verb.add_option("new", o->newPath, "its new folder")->required();
       },
       [o](const CLI::App&) -> VerbRun {
         return running([o] { return GitExecWorktreeOperation::move(absolute(o->path), absolute(o->newPath)); });
       }},
      {"worktree lock", "lock the working tree at PATH against pruning and moving",
       [o, pathArg](CLI::App& verb) {
         pathArg(verb);
         verb.add_option("--reason", o->reason, "why it is locked");
       },
       [o](const CLI::App&) -> VerbRun {
         return running([o] { return GitExecWorktreeOperation::lock(absolute(o->path), o->reason); });
       }},
      {"worktree unlock", "unlock the working tree at PATH", pathArg,
       [o](const CLI::App&) -> VerbRun {
         return running([o] { return GitExecWorktreeOperation::unlock(absolute(o->path)); });
       }},
      {"worktree prune", "forget the working trees whose folders are gone", nullptr,
       [](const CLI::App&) -> VerbRun { return running([] { return GitExecWorktreeOperation::prune(); }); }},
  };
  for (auto& verb : verbs) verb.readsObjects = false;
  return verbs;
}

} // namespace tavrik::cli
