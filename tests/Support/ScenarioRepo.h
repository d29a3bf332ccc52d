// The shared scenario repositories of the tests, built with plain git under a
// hermetic environment (no global or system configuration, fixed identities
// and dates), so the machine's own git setup cannot change a result.
//
// The scenario is built once per build tree; ScenarioRepo::shared() is one
// copy of it per test process, which tests must not change, and
// ScenarioRepo::copy() gives a test its own copy to change. Each holds three
// repositories:
//  - upstream: a bare repository, the remote "origin" of work.
//  - work: branches main (HEAD, one commit ahead of and one behind
//    origin/main), side and topic (merged twice into main with interleaved
//    dates), conflict (edits c.txt against main), feature/deep (tracks
//    origin/side, one behind), lonely (no upstream), gone (upstream never
//    fetched), "a\xe9" and zzz; tags v1 (annotated, at the first merge),
//    v1-light (at HEAD) and blobtag (a blob, so no date); origin/HEAD; a
//    stash; ORIG_HEAD; a rename with an edit in the commit ":/move and edit";
//    committed files named HEAD and "bad\xff\xfename". Its working tree has
//    every kind of change: bad\xff\xfename modified, a.txt staged and edited
//    again (MM), keep renamed to kept, d.txt deleted, untracked unt\xe9,
//    "with space.txt", "q\"uote", "tab\there", "v1...v1-light" (named like a
//    revision range) and build/, and an ignored debug.log.
//  - merging: a clean clone of work whose merge of origin/conflict stopped on
//    a conflict in c.txt (MERGE_HEAD, a UU record).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::testing {

/// The git prefix laid out by the build (bin/git, libexec/git-core, ...).
std::filesystem::path testPrefix();

/// Makes this process's environment hermetic for git children:
/// GIT_CONFIG_GLOBAL=/dev/null, no system configuration, fixed identities
/// and dates, no inherited repository. Idempotent.
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

/// Runs a program (looked up in PATH) in `cwd`, capturing its output; no shell.
CommandResult runProgram(const std::vector<std::string>& argv, const std::filesystem::path& cwd);
/// Runs a /bin/sh script in `cwd`; throws with its standard error when it fails.
std::string runScript(const std::string& script, const std::filesystem::path& cwd);

/// The whole file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
/// The pieces of `text` that end with `terminator`; an unterminated tail is kept.
std::vector<std::string> split(const std::string& text, char terminator);
/// True once the process has exited, reaped or not.
bool processIsGone(int pid);

/// Runs git in one directory.
class GitDir {
public:
  explicit GitDir(std::filesystem::path path) : path_(std::move(path)) {}
  const std::filesystem::path& path() const { return path_; }
  /// Throws std::runtime_error (with git's standard error) when git fails.
  std::string git(const std::vector<std::string>& args) const;
  CommandResult tryGit(const std::vector<std::string>& args) const;
  /// `git rev-parse --verify` of `what`, without the newline.
  std::string rev(const std::string& what) const;
  /// Writes a file relative to the directory, creating its folders.
  void write(const std::string& relativePath, const std::string& content) const;
  /// Writes, stages and commits a file; returns the commit id.
  std::string commitFile(const std::string& relativePath, const std::string& content,
                         const std::string& message) const;

private:
  std::filesystem::path path_;
};

/// A new empty repository (`git init -b main`) of its own.
class ScratchRepo : public GitDir {
public:
  explicit ScratchRepo(bool bare = false);

private:
  std::unique_ptr<TempDir> dir_;
  ScratchRepo(std::unique_ptr<TempDir> dir, bool bare);
};

class ScenarioRepo {
public:
  static const ScenarioRepo& shared();
  static std::unique_ptr<ScenarioRepo> copy();

  GitDir upstream;
  GitDir work;
  GitDir merging;

private:
  explicit ScenarioRepo(std::unique_ptr<TempDir> dir);
  std::unique_ptr<TempDir> dir_;
};

} // namespace tavrik::testing
