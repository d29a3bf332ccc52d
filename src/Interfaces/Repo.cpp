#include "tavrik/Interfaces/Repo.h"

#include "Interfaces/Libgit2.h"
#include "Interfaces/LooseObject.h"

namespace arbor {

namespace {

std::string withoutTrailingSlash(const char* path) {
  std::string s = path ? path : "";
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

} // namespace

Repo Repo::openAtPath(const std::string& path) {
  auto handle = std::make_shared<detail::RepoHandle>();
  handle->token = detail::libraryToken();
  git_repository* repo = nullptr;
  // No search upwards: a path that is not itself a repository must fail
  // rather than silently open an enclosing one.
  detail::check(git_repository_open_ext(&repo, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr),
                "git_repository_open_ext");
  handle->repo.reset(repo);
  detail::installLooseObjectReader(repo);
  return Repo(std::move(handle));
}

void Repo::initializeLibrary() { (void)detail::libraryToken(); }

bool Repo::isLibraryInitialized() { return detail::libraryInitialized(); }

std::string Repo::gitDirectoryPath() const { return withoutTrailingSlash(git_repository_path(handle())); }

std::string Repo::commonDirectoryPath() const { return withoutTrailingSlash(git_repository_commondir(handle())); }

std::optional<bool> Repo::ignoreRulesMatch(const std::string& relativePath) const {
  int ignored = 0;
  if (git_ignore_path_is_ignored(&ignored, handle(), relativePath.c_str()) != 0) {
    git_error_clear();
    return std::nullopt;
  }
  return ignored != 0;
}

bool Repo::configBool(const std::string& key, bool fallback) const {
  git_config* config = nullptr;
  if (git_repository_config_snapshot(&config, handle()) != 0) {
    git_error_clear();
    return fallback;
  }
  int value = 0;
  bool found = git_config_get_bool(&value, config, key.c_str()) == 0;
  git_config_free(config);
  git_error_clear();
  return found ? value != 0 : fallback;
}

std::optional<std::string> Repo::workingDirectoryPath() const {
  const char* workdir = git_repository_workdir(handle());
  if (!workdir) return std::nullopt;
  return withoutTrailingSlash(workdir);
}

bool Repo::isBare() const { return git_repository_is_bare(handle()) != 0; }

git_repository* Repo::handle() const { return handle_->repo.get(); }

} // namespace arbor
