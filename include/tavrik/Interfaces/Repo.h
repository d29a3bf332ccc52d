// An opened git repository of the object-model layer (libgit2 underneath).
//
// `Repo` is a handle: copies share one opened repository, and the objects that
// read from it (walks, trees, diffs, references) keep a copy, so the repository
// stays open as long as any of them lives.
//
// Threads: an opened repository and everything read from it is used by one
// thread at a time. Different `Repo::openAtPath` results may be used on
// different threads at once.
#pragma once

#include <memory>
#include <optional>
#include <string>

struct git_repository;

namespace arbor {

namespace detail {
struct RepoHandle;
}

class Repo {
public:
  /// Opens the repository at `path`: a working tree (with a `.git` directory
  /// or file, so linked worktrees too), a git directory or a bare repository.
  /// Parent directories are not searched. Throws `arbor::Error` (code
  /// `notFound` when there is no repository there).
  static Repo openAtPath(const std::string& path);

  /// Sets the object-model library up now, on the calling thread; otherwise
  /// the first repository opened does it. Setting it up loads libgit2 with
  /// its TLS, SSH and Kerberos libraries and parses the system's
  /// certificate store, a few milliseconds, so a program that may never read
  /// an object (most of the client's verbs run git only) leaves it out.
  /// A program that will read objects calls it on its main thread before
  /// work runs on other threads: set up on a queue's worker beside other
  /// work (a refs refresh), it corrupted the heap now and then.
  static void initializeLibrary();
  /// Whether the library is set up (by `initializeLibrary` or a repository
  /// opened); any thread. Work that can do without it checks this rather
  /// than set it up on a worker.
  static bool isLibraryInitialized();

  /// The repository's git directory, without a trailing slash.
  std::string gitDirectoryPath() const;
  /// The directory shared by all worktrees (objects, refs), without a
  /// trailing slash; the git directory itself outside linked worktrees.
  std::string commonDirectoryPath() const;
  /// A boolean configuration value; `fallback` when unset or unreadable.
  bool configBool(const std::string& key, bool fallback) const;
  /// Whether the ignore rules match a working-tree-relative path (bytes),
  /// whether or not the path is tracked; nullopt when they cannot be read.
  std::optional<bool> ignoreRulesMatch(const std::string& relativePath) const;
  /// The working-tree directory without a trailing slash; nullopt when bare.
  std::optional<std::string> workingDirectoryPath() const;
  bool isBare() const;

  /// The underlying libgit2 handle, for the layer's own sources.
  git_repository* handle() const;

private:
  explicit Repo(std::shared_ptr<detail::RepoHandle> handle) : handle_(std::move(handle)) {}
  std::shared_ptr<detail::RepoHandle> handle_;
};

} // namespace arbor
