#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"

#include "Process/PlainRepositoryAnswers.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <filesystem>

namespace tavrik {
namespace {

std::vector<std::string> lines(std::string_view text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t lf = text.find('\n', start);
    out.emplace_back(text.substr(start, lf == std::string_view::npos ? lf : lf - start));
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  return out;
}

} // namespace

std::optional<Url> GitExecRepositoryDescriptorOperation::workingDirectoryURL(GitOperationContext&) { return url; }

std::optional<Url> GitExecRepositoryDescriptorOperation::gitDirectoryURL(GitOperationContext&) {
  return std::nullopt;
}

std::vector<std::string> GitExecRepositoryDescriptorOperation::arguments(GitOperationContext&) { return args; }

GitRepositoryDescriptor GitExecRepositoryDescriptorOperation::execute(GitOperationContext& context) {
  // Checked here so that the error names the folder, not just the errno of a
  // child that could not change into it.
  std::error_code ec;
  if (!std::filesystem::is_directory(url.path(), ec)) throw TavrikError::noSuchFolder(url.path());
  bool hasTopLevel = true;
  // The top level of a plain repository needs no git at all: its answers
  // are read off the file system, the same bytes git would print.
  auto parts = detail::plainRepositoryAnswers(url.path(), environment(context));
  if (!parts) parts = askGit(context, hasTopLevel);
  if (parts->size() != (hasTopLevel ? 6u : 5u)) throw TavrikError::invalidRepository(url.path());
  const std::string& gitDir = (*parts)[0];
  const std::string& commonDir = (*parts)[1];
  const bool isBare = (*parts)[2] == "true";
  const bool isShallow = (*parts)[3] == "true";
  // Every reader parses 40-digit object names (and libgit2 opens only SHA-1
  // repositories): another format is refused here, once, rather than read
  // as empty or partial lists.
  if ((*parts)[4] != "sha1") throw TavrikError::unsupportedObjectFormat(url.path(), (*parts)[4]);
  // A bare repository has no top level; its git directory stands in.
  const std::string worktree = hasTopLevel && !(*parts)[5].empty() ? (*parts)[5] : gitDir;

  GitRepositoryDescriptor descriptor;
  descriptor.url = Url::fileURL(worktree, true);
  descriptor.gitURL = Url::fileURL(gitDir, true);
  // git prints the common directory relative to the directory it ran in (for
  // example "../../.git" from a subdirectory), so resolve it against that
  // directory, not against the top level.
  descriptor.commonURL = !commonDir.empty() && commonDir.front() == '/'
                             ? Url::fileURL(commonDir, true)
                             : Url::fileURL(url.path() + "/" + commonDir, true);
  descriptor.isBare = isBare;
  descriptor.isShallow = isShallow;
  descriptor.displayName = descriptor.url.lastPathComponent();
  return descriptor;
}

std::vector<std::string> GitExecRepositoryDescriptorOperation::askGit(GitOperationContext& context, bool& hasTopLevel) {
  // One git for the usual case: the top level comes with the rest. Where
  // there is no work tree (a bare repository, inside the git directory) that
  // run fails, and the directories are asked for alone.
  const std::vector<std::string> directories = {"rev-parse",
                                                "--absolute-git-dir",
                                                "--git-common-dir",
                                                "--is-bare-repository",
                                                "--is-shallow-repository",
                                                "--show-object-format"};
  args = directories;
  args.push_back("--show-toplevel");
  hasTopLevel = true;
  try {
    runCommand(context);
  } catch (const GitStdError&) {
    hasTopLevel = false;
    args = directories;
    try {
      runCommand(context);
    } catch (const GitStdError&) {
      // "not a git repository": the folder is no repository we can open.
      throw TavrikError::invalidRepository(url.path());
    }
  }
  // Paths are bytes: a folder whose name is not UTF-8 is still a repository,
  // and one ending in a space keeps it (only git's last newline goes).
  std::string_view output = stdOutBuffer->data();
  if (output.ends_with('\n')) output.remove_suffix(1);
  return lines(output);
}

} // namespace tavrik
