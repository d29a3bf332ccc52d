#include "HistoryRewrite.h"

#include "Process/GitStep.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/StringUtilities.h"

#include <filesystem>

namespace tavrik::detail {

TavrikError historyRefusal(const std::string& verb, const std::string& what, const std::string& why) {
  // The reason goes into the description too: it is what a user must read.
  return TavrikError("Cannot " + verb + " " + what + ": " + why, why + " Nothing was changed.");
}

bool isAncestor(GitOperationContext& context, const Oid& ancestor, const std::string& descendant) {
  return trimmed(runPredictionGit(context, {"rev-list", "-n1", ancestor.string(), "--not", descendant, "--"})).empty();
}

BranchCommit checkBranchCommit(GitOperationContext& context, const std::string& revision, const std::string& verb,
                               bool allowPublished) {
  TavrikError::refuseOptionLikeRevision(revision);
  BranchCommit found{.commit = resolveCommit(context, revision), .head = resolveCommit(context, "HEAD")};
  if (found.commit != found.head && !isAncestor(context, found.commit, found.head.string()))
    throw historyRefusal(verb, revision, "The commit is not in the current branch.");
  // The pieces are views: the text they point into must outlive them.
  const auto parentLine =
      trimmed(runPredictionGit(context, {"rev-list", "--parents", "-n1", found.commit.string(), "--"}));
  auto parents = splitPieces(parentLine, ' ');
  if (parents.size() > 2) throw historyRefusal(verb, revision, "It is a merge commit.");
  if (parents.size() == 2) found.parent = Oid::parse(parents[1]);
  auto merges = runPredictionGit(context, {"rev-list", "--min-parents=2", "-n1", found.head.string(), "--not",
                                           found.commit.string(), "--"});
  if (!trimmed(merges).empty())
    throw historyRefusal(verb, revision, "A merge lies between it and HEAD, which the rewrite would flatten.");
  auto branch = trimmed(runPredictionGit(context, {"rev-parse", "--symbolic-full-name", "HEAD"}));
  found.headRef = branch == "HEAD" || branch.empty() ? "HEAD" : std::string(branch);
  if (!allowPublished && found.headRef != "HEAD") {
    auto upstream =
        trimmed(runPredictionGit(context, {"for-each-ref", "--format=%(upstream)", "--", found.headRef}));
    if (!upstream.empty() && isAncestor(context, found.commit, std::string(upstream)))
      throw historyRefusal(verb, revision, "The commit is published: " + std::string(upstream) + " contains it.");
  }
  return found;
}

void refuseLocalChanges(GitOperationContext& context, const std::string& verb, const std::string& what) {
  for (bool cached : {false, true}) {
    std::vector<std::string> args{"diff", "--name-only", "-z", "--no-ext-diff", "--ignore-submodules"};
    if (cached) args.push_back("--cached");
    if (!runPredictionGit(context, args).empty())
      throw historyRefusal(verb, what,
                           std::string("The ") + (cached ? "index" : "working tree") +
                               " has changes that are not committed; commit or stash them first.");
  }
}

std::string runRewriteGit(GitOperationContext& context, std::vector<std::string> args,
                          std::optional<std::string> input, std::map<std::string, std::string> variables,
                          std::shared_ptr<GitAuth> signingAuth) {
  return runGitStep(context, {.arguments = std::move(args),
                              .input = std::move(input),
                              .variables = std::move(variables),
                              .access = GitExecAccess::write,
                              .signingAuth = std::move(signingAuth)});
}

Oid recommit(GitOperationContext& context, const std::shared_ptr<GitAuth>& signingAuth, const Oid& source,
             const std::string& tree, const std::vector<Oid>& parents, const std::optional<std::string>& message) {
  // The raw object: the author and message bytes exactly as stored, in
  // whatever encoding the commit names.
  const auto raw = runPredictionGit(context, {"cat-file", "commit", source.string()});
  const auto split = raw.find("\n\n");
  const std::string_view header(raw.data(), split == std::string::npos ? raw.size() : split + 1);
  std::map<std::string, std::string> variables;
  std::vector<std::string> args;
  for (auto line : splitPieces(header, '\n')) {
    if (line.starts_with("encoding ")) {
      args = {"-c", "i18n.commitEncoding=" + std::string(line.substr(9))};
    } else if (line.starts_with("author ")) {
      auto open = line.find(" <"), close = line.rfind("> ");
      if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        throw TavrikError("Unreadable commit " + source.string(), "Its author line is not git's.");
      variables["GIT_AUTHOR_NAME"] = std::string(line.substr(7, open - 7));
      variables["GIT_AUTHOR_EMAIL"] = std::string(line.substr(open + 2, close - open - 2));
      variables["GIT_AUTHOR_DATE"] = "@" + std::string(line.substr(close + 2));
    }
  }
  args.insert(args.end(), {"commit-tree", "-F", "-"});
  // commit-tree reads no commit.gpgSign; the commands a user would rewrite
  // with by hand do.
  if (trimmed(runPredictionGit(context, {"config", "--type=bool", "--default=false", "commit.gpgSign"})) == "true")
    args.push_back("-S");
  for (const auto& parent : parents) args.insert(args.end(), {"-p", parent.string()});
  args.push_back(tree);
  auto text = message ? *message : split == std::string::npos ? std::string() : raw.substr(split + 2);
  auto oid = Oid::parse(
      trimmed(runRewriteGit(context, std::move(args), std::move(text), std::move(variables), signingAuth)));
  if (!oid) throw TavrikError("Unexpected output of git commit-tree");
  return *oid;
}

bool rebaseInProgress(GitOperationContext& context) {
  for (const char* dir : {"rebase-merge", "rebase-apply"}) {
    auto path = trimmed(runPredictionGit(context, {"rev-parse", "--path-format=absolute", "--git-path", dir}));
    std::error_code error;
    if (std::filesystem::exists(path, error)) return true;
  }
  return false;
}

void updateRefLeased(GitOperationContext& context, const std::string& ref, const Oid& target, const Oid& expected,
                     const std::string& reason) {
  try {
    runRewriteGit(context, {"update-ref", "-m", reason, "--no-deref", "--", ref, target.string(), expected.string()});
  } catch (const GitStdError& error) {
    std::string now = "gone";
    try {
      now = resolveCommit(context, ref).string();
    } catch (const TavrikError&) {
    }
    if (now == expected.string()) throw;
    const auto why = ref + " moved while the operation ran (it was " + expected.string() + ", it is now " + now +
                     "); it was left as it is.";
    throw TavrikError("Cannot update " + ref + ": " + why, why);
  }
}

} // namespace tavrik::detail
