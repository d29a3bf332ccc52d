#include "tavrik/Commands/WorktreeActions.h"

#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Interfaces/FileManager.h"
#include "tavrik/State/GitStateFile.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/StringUtilities.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace tavrik {

void GitCompoundAction::cancel() {
  GitOperation<pledge::Void>::cancel();
  std::shared_ptr<GitQueueOperation> child;
  {
    std::lock_guard lock(childLock_);
    child = childOp.lock();
  }
  if (child) child->cancel();
}

std::shared_ptr<GitQueueOperation> GitCompoundAction::currentChild() const {
  std::lock_guard lock(childLock_);
  return childOp.lock();
}

void GitCompoundAction::startChild(GitOperationContext& context, const std::shared_ptr<GitQueueOperation>& child) {
  if (auto signing = std::dynamic_pointer_cast<GitSigningPrompts>(child); signing && !signing->signingAuth)
    signing->signingAuth = signingAuth;
  {
    // Checked under the lock that cancel() takes, so a cancel either sees
    // the child or comes before it and stops it here.
    std::lock_guard lock(childLock_);
    if (isCancelled()) throw pledge::CancelledError();
    childOp = child;
  }
  // The action is the user's one step, journaled as a whole.
  child->setJournaled(false);
  context.queue->addOperation(child);
}

void GitCompoundAction::setChild(const std::shared_ptr<GitQueueOperation>& child) {
  std::lock_guard lock(childLock_);
  childOp = child;
}

// MARK: commit

pledge::Void GitCommitAction::execute(GitOperationContext& context) {
  const auto& descriptor = context.queue->descriptor();
  if (!descriptor) return {};
  auto stateNow = [&] { return GitStateFileSet::read(descriptor->gitURL).state; };
  auto commit = [&](bool amending) {
    return makeOperation<GitExecCommitOperation>({.message = message, .signOff = signOff, .amend = amending, .sign = sign});
  };

  auto state = stateNow();
  if (state == GitState::rebase || state == GitState::rebaseMerge) {
    runChild(context, GitExecRebaseOperation::continueOperation());
  } else if (state == GitState::rebaseInteractive) {
    // The rebase puts a commit it stops at for editing back into the index
    // itself, so this commit replaces it; continuing may stop at the next.
    // A root commit stays HEAD, and is amended instead.
    runChild(context, commit(amend || detail::commitHeldAtEditStop(descriptor->gitURL.path())));
    runChild(context, quiet(GitExecRebaseOperation::continueOperation()));
  } else {
    runChild(context, commit(amend));
  }
  return {};
}

// MARK: trash

namespace {

TavrikError refusedTrash(const std::string& path, const std::string& reason) {
  return TavrikError("Cannot move \"" + path + "\" to the trash.", reason);
}


} // namespace

Url GitTrashAction::checkedLocation(const Url& worktree, const std::string& path) {
  if (path.empty()) throw refusedTrash(path, "The path is empty.");
  if (path.front() == '/') throw refusedTrash(path, "The path is absolute; it must be relative to the working tree.");
  std::vector<std::string> components;
  for (auto component : splitPieces(path, '/')) {
    if (component.empty() || component == ".") continue;
    if (component == "..") throw refusedTrash(path, "The path leads outside the working tree.");
    components.emplace_back(component);
  }
  if (components.empty()) throw refusedTrash(path, "The path names the working tree itself.");
  if (components.front() == ".git") throw refusedTrash(path, "The path lies in the repository's git directory.");

  std::string root = worktree.path();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  auto realRoot = realPath(root);
  if (!realRoot) throw refusedTrash(path, "The working tree cannot be found.");

  std::string parent = root, shown;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    parent += "/" + components[i];
    shown += (shown.empty() ? "" : "/") + components[i];
    // Named, so the user learns which folder leads away.
    struct stat link {};
    if (::lstat(parent.c_str(), &link) != 0) throw refusedTrash(path, "The folder \"" + shown + "\" does not exist.");
    auto target = S_ISLNK(link.st_mode) ? realPath(parent) : std::nullopt;
    if (target && *target != *realRoot && !target->starts_with(*realRoot + "/"))
      throw refusedTrash(path, "\"" + shown + "\" is a link to a folder outside the working tree.");
  }
  auto realParent = realPath(parent);
  if (!realParent) throw refusedTrash(path, "The file does not exist.");
  // The folders may not lead elsewhere through a symbolic link; the last
  // component may be a link, which is trashed itself.
  if (*realParent != *realRoot && realParent->compare(0, realRoot->size() + 1, *realRoot + "/") != 0)
    throw refusedTrash(path, "The path leads outside the working tree through a symbolic link.");
  std::string location = *realParent + "/" + components.back();
  struct stat info {};
  if (::lstat(location.c_str(), &info) != 0) throw refusedTrash(path, "The file does not exist.");
  return Url::fileURL(location, S_ISDIR(info.st_mode));
}

pledge::Void GitTrashAction::execute(GitOperationContext& context) {
  const auto* descriptor = context.effectiveDescriptor();
  auto worktree = descriptor ? descriptor->worktreeURL() : std::nullopt;
  if (!worktree) throw TavrikError::invalidWorktree();

  std::vector<Url> locations;
  for (const auto& path : paths) locations.push_back(checkedLocation(*worktree, path));

  // Run here rather than through the queue, under this run's index lock.
  makeOperation<GitExecResetOperation>({.paths = paths})->execute(context);
  for (const auto& location : locations) {
    if (isCancelled()) throw pledge::CancelledError();
    FileManager::trashItem(location);
  }
  context.updatedAspects.formUnion(GitAspects::status);
  return {};
}

// MARK: conflict resolution

pledge::Void GitConflictResolveAction::execute(GitOperationContext& context) {
  // Read fresh: which side deleted the file is the repository's state now,
  // not whatever the view last loaded.
  auto status = makeOperation<GitViewExecStatusOperation>()->execute(context);
  std::optional<GitStatusEntry> entry;
  if (status) entry = status->entryFor(path);
  // Stage 2 is ours, stage 3 theirs; an all-zero id is a side that deleted the file.
  std::optional<Oid> side;
  if (entry) side = useOurs ? entry->oidStage2 : entry->oidStage3;
  if (side && *side == Oid::zero) {
    runChild(context, makeOperation<GitExecRmOperation>({.paths = std::set<std::string>{path}}));
  } else {
    runChild(context, GitExecCheckoutOperation::resolve(path, useOurs));
    runChild(context, makeOperation<GitExecAddOperation>(std::set<std::string>{path}));
  }
  return {};
}

// MARK: ignore rules

std::string_view relativePath(GitConfigFile file) {
  switch (file) {
  case GitConfigFile::localGitignore: return ".gitignore";
  case GitConfigFile::localExclude: return "info/exclude";
  }
  return ".gitignore";
}

Url GitAppendRulesOperation::targetURL(const GitRepositoryDescriptor& descriptor, GitConfigFile file) {
  if (file == GitConfigFile::localExclude) return descriptor.excludesURL();
  return descriptor.url.appendingPathComponent(relativePath(file));
}

pledge::Void GitAppendRulesOperation::execute(GitOperationContext& context) {
  const auto& descriptor = context.requireDescriptor();
  std::string joined;
  for (const auto& rule : rules) {
    auto text = trimmed(rule);
    if (text.empty()) continue;
    if (!joined.empty()) joined += '\n';
    joined += text;
  }

  const std::string target = targetURL(descriptor, file).path();
  std::string gitFolder = descriptor.gitURL.path();
  std::string commonFolder = descriptor.commonURL.path();
  for (auto* folder : {&gitFolder, &commonFolder})
    while (folder->size() > 1 && folder->back() == '/') folder->pop_back();
  AtomicWriteOptions writing;
  if (file == GitConfigFile::localExclude) {
    std::string folder = target.substr(0, target.rfind('/'));
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) throw TavrikError::fromErrno(errno, "mkdir " + folder);
    writing.linksWithin = commonFolder;
  } else {
    // git reads no .gitignore that is a symbolic link (it opens it without
    // following one), so rules written through it would not apply anyway.
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
      throw TavrikError("Cannot add rules to \"" + target + "\"",
                        "It is a symbolic link, and git does not read ignore rules through one.");
    // A write cut short leaves its temporary file where git lists nothing.
    writing.temporaryFolder = gitFolder;
  }
  // The file's bytes stay as they are, UTF-8 or not: only a missing file
  // starts empty, and one that cannot be read is not replaced.
  std::string text = readFileIfExists(target).value_or("");
  if (text.empty() || text.back() != '\n') text += '\n';
  text += joined;
  writeFileAtomically(target, text, writing);
  context.updatedAspects.formUnion(GitAspects::status);
  return {};
}

// MARK: abort

pledge::Void GitAbortAction::execute(GitOperationContext& context) {
  const auto& descriptor = context.requireDescriptor();
  switch (GitStateFileSet::read(descriptor.gitURL).state) {
  case GitState::none: break;
  case GitState::merge: runChild(context, GitExecMergeOperation::abortMerge()); break;
  case GitState::revert:
  case GitState::revertSequence: runChild(context, GitExecRevertOperation::abortRevert()); break;
  case GitState::cherrypick:
  case GitState::cherrypickSequence: runChild(context, GitExecCherryPickOperation::abortPick()); break;
  case GitState::bisect: GitExecBisectOperation::resetBisect()->execute(context); break;
  case GitState::rebase:
  case GitState::rebaseInteractive:
  case GitState::rebaseMerge: runChild(context, GitExecRebaseOperation::abortRebase()); break;
  case GitState::applyMailbox:
  case GitState::applyMailboxOrRebase: runChild(context, GitExecAmOperation::abortApply()); break;
  }
  return {};
}

pledge::Void GitContinueAction::execute(GitOperationContext& context) {
  const auto& descriptor = context.requireDescriptor();
  switch (GitStateFileSet::read(descriptor.gitURL).state) {
  case GitState::merge: runChild(context, GitExecMergeOperation::continueOperation()); break;
  case GitState::revert:
  case GitState::revertSequence: runChild(context, GitExecRevertOperation::continueOperation()); break;
  case GitState::cherrypick:
  case GitState::cherrypickSequence: runChild(context, GitExecCherryPickOperation::continueOperation()); break;
  case GitState::rebase:
  case GitState::rebaseInteractive:
  case GitState::rebaseMerge: runChild(context, GitExecRebaseOperation::continueOperation()); break;
  default:
    throw TavrikError("Nothing to Continue", "No merge, rebase, cherry-pick or revert is in progress.");
  }
  return {};
}

} // namespace tavrik
