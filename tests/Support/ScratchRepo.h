// Scratch directories and repositories for tests, built with real git under a
// hermetic environment: no global or system configuration, fixed identities
// and dates, so the machine's own git setup cannot change a result.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavrik::testing {

/// The git prefix laid out by the build (bin/git, libexec/git-core, ...).
std::filesystem::path testPrefix();

/// Makes the test process's own environment hermetic for git children:
/// GIT_CONFIG_GLOBAL=/dev/null, GIT_CONFIG_NOSYSTEM=1, fixed author and
/// committer, and no inherited GIT_DIR. Idempotent; call at test start.
void makeGitEnvironmentHermetic();

/// A temporary directory removed (recursively) on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

struct CommandResult {
  int status = 0;
  std::string out;
  std::string err;
};

/// Runs a program with arguments in `cwd`, capturing output (no shell).
CommandResult runProgram(const std::vector<std::string>& argv, const std::filesystem::path& cwd);

/// A git repository in a temporary directory.
class ScratchRepo {
public:
  /// `git init -b main` (bare when asked) in a new temporary directory.
  explicit ScratchRepo(bool bare = false);

  const std::filesystem::path& path() const { return dir_.path(); }

  /// Runs git in the repository; throws std::runtime_error (with stderr) on failure.
  std::string git(const std::vector<std::string>& args) const;
  /// Runs git in the repository and returns the result without throwing.
  CommandResult tryGit(const std::vector<std::string>& args) const;

  /// Writes a file (creating directories) relative to the repository.
  void write(const std::string& relativePath, const std::string& content) const;
  /// Writes a file, stages it and commits it with the message; returns the commit id.
  std::string commitFile(const std::string& relativePath, const std::string& content,
                         const std::string& message) const;

private:
  TempDir dir_;
};

} // namespace tavrik::testing
