#include "tavrik/Commands/IndexCommands.h"

#include "Process/GitStep.h"
#include "State/IndexSnapshot.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cstring>

namespace tavrik {

namespace {
void appendPaths(std::vector<std::string>& args, const std::set<std::string>& paths) {
  args.push_back("--");
  args.insert(args.end(), paths.begin(), paths.end());
}

// Well below the 128 KiB one argument may hold, with room for git's prefix.
constexpr size_t kLongestArgumentMessage = 64 * 1024;
constexpr const char* kPlaceholderMessage = "message follows";

std::string runStep(GitOperationContext& context, std::vector<std::string> args,
                    std::optional<std::string> input = std::nullopt) {
  return trimmed(detail::runGitStep(context, {.arguments = std::move(args), .input = std::move(input)}));
}
} // namespace

std::vector<std::string> GitExecAddOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"add", "--all"};
  appendPaths(args, paths);
  return args;
}

GitAspects GitExecAddOperation::aspects() const { return {GitAspects::status, GitAspects::submodules}; }

std::vector<std::string> GitExecRmOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"rm"};
  if (recursive) args.push_back("-r");
  if (cached) args.push_back("--cached");
  appendPaths(args, paths);
  return args;
}

GitAspects GitExecRmOperation::aspects() const { return GitAspects::status; }

std::vector<std::string> GitExecResetOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"reset", "--quiet"};
  switch (mode) {
  case GitExecResetMode::none: break;
  case GitExecResetMode::soft: args.push_back("--soft"); break;
  case GitExecResetMode::mixed: args.push_back("--mixed"); break;
  case GitExecResetMode::hard: args.push_back("--hard"); break;
  }
  if (treeish) args.push_back(*treeish);
  // Always "--": without it a tree-ish that names no commit but a file
  // ("*", "a.txt") would be taken as paths and unstage them.
  appendPaths(args, paths.value_or(std::set<std::string>{}));
  return args;
}

void GitExecResetOperation::validate(GitOperationContext&) { TavrikError::refuseOptionLikeName(treeish); }

GitAspects GitExecResetOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::submodules};
}

std::shared_ptr<GitExecCheckoutOperation> GitExecCheckoutOperation::resolve(const std::string& path, bool useOurs) {
  return makeOperation<GitExecCheckoutOperation>({.paths = {path}, .ours = useOurs, .theirs = !useOurs});
}

std::optional<std::string> GitExecCheckoutOperation::title() const {
  // What the user did, as an undo list names it.
  if (ours || theirs) return std::string(ours ? "Resolve Using Ours" : "Resolve Using Theirs");
  if (treeish) return "Checkout " + *treeish;
  return std::string(paths.empty() ? "Checkout" : "Discard Changes");
}

std::vector<std::string> GitExecCheckoutOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"checkout"};
  if (force) args.push_back("--force");
  if (ours) args.push_back("--ours");
  if (theirs) args.push_back("--theirs");
  if (createBranch) args.push_back("-b");
  if (treeish) args.push_back(*treeish);
  if (track) args.push_back("--track");
  // Always "--": without it git reads a tree-ish that is no branch or commit
  // ("a.txt", "*", ".") as paths and discards their changes.
  appendPaths(args, paths);
  return args;
}

void GitExecCheckoutOperation::validate(GitOperationContext&) { TavrikError::refuseOptionLikeName(treeish); }

namespace {

// Below this many paths git's own matching costs less than the extra run
// the hook needs.
constexpr size_t kFewPaths = 8;

// Whether every path names one plain entry of the index: a file or link at
// stage 0 only, not intent-to-add, skip-worktree or assume-unchanged, with
// nothing below it. checkout-index writes such an entry as a checkout of its
// path does; for anything else git's checkout decides (and may refuse).
bool arePlainIndexFiles(const std::string& indexFile, const std::set<std::string>& paths) {
  // One pass over the index beside the sorted paths: a look-up per path
  // costs a read per step of its search, about 60 ms for 1,000 paths on
  // 100,000 entries, where the pass takes a few.
  std::set<std::string> folders;
  for (const auto& path : paths) folders.insert(path + "/");
  auto path = paths.begin();
  auto folder = folders.begin();
  bool plain = true, found = false; // found: the entry for *path was seen
  const bool read = detail::IndexSnapshot::forEachEntry(indexFile, [&](std::string_view name, const detail::IndexEntry& entry) {
    for (; plain && path != paths.end() && std::string_view(*path) < name; ++path, found = false) plain = found;
    if (plain && path != paths.end() && std::string_view(*path) == name) {
      const bool plainMode = entry.mode == 0100644 || entry.mode == 0100755 || entry.mode == 0120000;
      plain = !found && plainMode && entry.stage == 0 && !entry.assumeValid && !entry.skipWorktree &&
              !entry.intentToAdd;
      found = true;
    }
    // The entries inside a folder follow one another: one past the folder
    // without being inside it ends the folder's range.
    for (; plain && folder != folders.end() && std::string_view(*folder) < name; ++folder)
      plain = !name.starts_with(*folder);
  });
  for (; plain && path != paths.end(); ++path, found = false) plain = found;
  return read && plain;
}

} // namespace

pledge::Void GitExecCheckoutOperation::execute(GitOperationContext& context) {
  const bool fromIndex = !treeish && !ours && !theirs && !createBranch && !track && paths.size() >= kFewPaths;
  if (!fromIndex || !arePlainIndexFiles(context.requireDescriptor().gitURL.path() + "/index", paths))
    return GitExecCommandOperation::execute(context);
  std::string input;
  for (const auto& path : paths) input.append(path).push_back('\0');
  // checkout runs the hook whether or not every file could be written.
  std::exception_ptr failure;
  try {
    detail::runGitStep(context, {.arguments = {"checkout-index", "--force", "--index", "-z", "--stdin"},
                                 .input = std::move(input),
                                 .access = GitExecAccess::write});
  } catch (...) {
    failure = std::current_exception();
  }
  // HEAD's commit, zeros on an unborn branch, as checkout hands it over.
  auto head = trimmed(detail::runGitStep(context, {.arguments = {"rev-parse", "-q", "--verify", "HEAD^{commit}"},
                                                   .successStatuses = {0, 1}}));
  if (head.empty()) head = std::string(40, '0');
  detail::runGitStep(context, {.arguments = {"hook", "run", "--ignore-missing", "post-checkout", "--", head, head, "0"},
                               .access = GitExecAccess::write});
  if (failure) std::rethrow_exception(failure);
  context.updatedAspects.formUnion(aspects());
  return {};
}

std::optional<std::vector<std::string>> GitExecCheckoutOperation::journalPaths() const {
  if (paths.empty()) return std::nullopt;
  return std::vector<std::string>(paths.begin(), paths.end());
}

GitAspects GitExecCheckoutOperation::aspects() const {
  // Restoring paths moves no ref and not HEAD: refreshing refs would cost a
  // large repository as much as the restore.
  if (!paths.empty()) return {GitAspects::status, GitAspects::submodules};
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::reflogs};
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::apply(std::optional<int> index, bool reinstanteIndex) {
  return makeOperation<GitExecStashOperation>({.verb = "apply", .index = index, .reinstanteIndex = reinstanteIndex});
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::pop(std::optional<int> index, bool reinstanteIndex) {
  return makeOperation<GitExecStashOperation>({.verb = "pop", .index = index, .reinstanteIndex = reinstanteIndex});
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::drop(std::optional<int> index) {
  return makeOperation<GitExecStashOperation>({.verb = "drop", .index = index});
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::save(std::optional<std::string> message, bool keepIndex,
                                                                   bool includeUntracked, bool includeIgnored) {
  return makeOperation<GitExecStashOperation>({.verb = "save",
                                               .message = std::move(message),
                                               .keepIndex = keepIndex,
                                               .includeUntracked = includeUntracked,
                                               .includeIgnored = includeIgnored});
}

std::vector<std::string> GitExecStashOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"stash"};
  if (verb) args.push_back(*verb);
  if (reinstanteIndex) args.push_back("--index");
  if (index) args.push_back(std::to_string(*index));
  if (keepIndex) args.push_back("--keep-index");
  if (includeUntracked) args.push_back("--include-untracked");
  if (includeIgnored) args.push_back("--all");
  if (message) {
    // As the last word a message that begins with "-" would be read as an
    // option; as the value of --message it is taken as it is.
    if (!message->empty() && message->front() == '-') args.push_back("--message");
    args.push_back(message->size() > kLongestArgumentMessage ? kPlaceholderMessage : *message);
  }
  return args;
}

pledge::Void GitExecStashOperation::execute(GitOperationContext& context) {
  if (!message || message->size() <= kLongestArgumentMessage) {
    runAndReport(context);
    return {};
  }
  // git takes a stash message only as an argument: a longer one is saved
  // with a placeholder, then the stash commit is made again with the whole
  // message from standard input and stored in the placeholder's stead.
  validate(context);
  auto latest = [&] { return runStep(context, {"for-each-ref", "--format=%(objectname)", "refs/stash"}); };
  const auto before = latest();
  runCommand(context);
  context.updatedAspects.formUnion(aspects());
  const auto saved = latest();
  if (saved.empty() || saved == before) return {}; // nothing to stash
  auto subject = runStep(context, {"log", "-1", "--no-show-signature", "--format=%s", saved, "--"});
  if (!subject.ends_with(kPlaceholderMessage)) throw TavrikError("Unexpected stash message \"" + subject + "\"");
  const auto prefix = subject.substr(0, subject.size() - std::strlen(kPlaceholderMessage));
  std::vector<std::string> commitTree{"commit-tree", saved + "^{tree}"};
  const auto parents = runStep(context, {"rev-parse", saved + "^@"});
  for (auto parent : splitPieces(parents, '\n'))
    commitTree.insert(commitTree.end(), {"-p", std::string(parent)});
  commitTree.insert(commitTree.end(), {"-F", "-"});
  const auto whole = runStep(context, commitTree, prefix + *message);
  // The reflog keeps one line; git's own would be the whole message.
  runStep(context, {"stash", "drop", "--quiet"});
  runStep(context, {"stash", "store", "--quiet", "--message",
                    prefix + gitSubject(*message).substr(0, kLongestArgumentMessage), whole});
  return {};
}

void GitExecStashOperation::validate(GitOperationContext&) {
  if (index && *index < 0) throw TavrikError("Invalid stash index " + std::to_string(*index), "A stash index cannot be negative.");
}

GitAspects GitExecStashOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::logDescriptor, GitAspects::stashes};
}

std::vector<std::string> GitExecCommitOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"commit"};
  if (amend) args.push_back("--amend");
  if (signOff) args.push_back("--signoff");
  if (sign == GitSigning::sign) args.push_back("--gpg-sign");
  if (sign == GitSigning::doNotSign) args.push_back("--no-gpg-sign");
  // From standard input: one argument may hold no more than 128 KiB.
  args.push_back("--file=-");
  return args;
}

std::map<std::string, std::string> GitExecCommitOperation::environment(GitOperationContext& context) {
  context.overrideAuthor = author;
  context.overrideCommitter = committer;
  return GitExecCommandOperation::environment(context);
}

GitAspects GitExecCommitOperation::aspects() const { return {GitAspects::head, GitAspects::status, GitAspects::refs}; }

pledge::Void GitExecCommitOperation::execute(GitOperationContext& context) {
  if (auto task = this->task()) {
    task->setString("Running hooks and committing...");
    task->setProgress(std::nullopt);
  }
  runAndReport(context);
  return {};
}

} // namespace tavrik
