#include "tavrik/Operation/GitRepositoryDescriptor.h"

#include "Util/UserAccount.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tavrik {

GitRepositoryDescriptor GitRepositoryDescriptor::uncheckedWorktree(const Url& url, bool isShallow) {
  GitRepositoryDescriptor d;
  d.url = url;
  d.gitURL = url.appendingPathComponent(".git", true);
  d.commonURL = d.gitURL;
  d.isBare = false;
  d.isShallow = isShallow;
  d.displayName = url.lastPathComponent();
  return d;
}

std::optional<Url> GitRepositoryDescriptor::worktreeURL() const {
  if (isBare) return std::nullopt;
  return url;
}

std::optional<Url> GitRepositoryDescriptor::gitignoreURL() const {
  if (isBare) return std::nullopt;
  return url.appendingPathComponent(".gitignore");
}

std::optional<Url> GitRepositoryDescriptor::gitattributesURL() const {
  if (isBare) return std::nullopt;
  return url.appendingPathComponent(".gitattributes");
}

std::optional<Url> GitRepositoryDescriptor::submoduleURL(std::string_view path) const {
  if (isBare) return std::nullopt;
  return url.appendingPathComponent(path, true);
}

Url GitRepositoryDescriptor::defaultsURLFor(const Url& gitURL) {
  return gitURL.appendingPathComponent("vantry/defaults.plist");
}

std::optional<Url> GitRepositoryDescriptor::globalConfigURL() {
  auto account = detail::currentUserAccount();
  if (!account || !account->homeDirectory) return std::nullopt;
  return Url::fileURL(*account->homeDirectory, true).appendingPathComponent(".gitconfig");
}

bool GitRepositoryDescriptor::isValid() const {
  struct stat st {};
  return gitURL.isFileURL() && ::stat(gitURL.path().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

GitRepositoryDescriptor GitRepositoryDescriptor::changingDisplayName(std::string name) const {
  auto copy = *this;
  copy.displayName = std::move(name);
  return copy;
}

} // namespace tavrik
