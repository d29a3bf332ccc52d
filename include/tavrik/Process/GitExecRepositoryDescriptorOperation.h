// Asks git where a folder's repository lives: working tree, git directory,
// common directory (which differs in linked worktrees), bare and shallow,
// and its object format. The top level of a plain repository (the layout
// `git init` makes, owned by this user) is answered from the file system
// with the same bytes, without starting git.
// git runs in the folder itself with no GIT_DIR, so git discovers the
// repository the way it would on the command line.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"

#include <string>
#include <vector>

namespace tavrik {

class GitExecRepositoryDescriptorOperation : public GitExecOperation<GitRepositoryDescriptor> {
public:
  explicit GitExecRepositoryDescriptorOperation(Url url) : url(std::move(url)) {}

  /// The folder to ask about (any folder inside a repository).
  const Url url;
  /// The argument list of the next git run.
  std::vector<std::string> args;

  std::optional<Url> workingDirectoryURL(GitOperationContext& context) override;
  std::optional<Url> gitDirectoryURL(GitOperationContext& context) override;
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// Throws TavrikError::invalidRepository when git cannot answer (a folder
  /// outside any repository, for example) or answers in an unexpected form,
  /// and TavrikError::unsupportedObjectFormat for a repository whose objects
  /// are not SHA-1 (`git init --object-format=sha256`), so that nothing reads
  /// such a repository as empty.
  GitRepositoryDescriptor execute(GitOperationContext& context) override;

private:
  // git's answers, one per line; `hasTopLevel` false when only the
  // directories could be asked (no work tree).
  std::vector<std::string> askGit(GitOperationContext& context, bool& hasTopLevel);
};

/// Chains a descriptor query for `url` on the queue of `future`.
template <class T>
pledge::Future<GitQueueValue<GitRepositoryDescriptor>> repositoryDescriptor(const pledge::Future<GitQueueValue<T>>& future,
                                                                            Url url) {
  return next(future, [url = std::move(url)](const GitQueueValue<T>&) {
    return makeOperation<GitExecRepositoryDescriptorOperation>(url);
  });
}

} // namespace tavrik
