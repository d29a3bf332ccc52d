#include "Process/PlainRepositoryAnswers.h"

#include <fstream>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrik::detail {
namespace {

// git refuses, or looks elsewhere, in folders owned by someone else
// (safe.directory); only the plain case is answered here.
bool ownedByUs(const std::string& path, mode_t type) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type && st.st_uid == ::geteuid();
}

bool isFileOfType(const std::string& path, mode_t type) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::optional<std::string> smallFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text(64 * 1024, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.gcount() == static_cast<std::streamsize>(text.size())) return std::nullopt;
  text.resize(static_cast<size_t>(file.gcount()));
  return text;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view stripped(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// A configuration git init would write: nothing that moves the work tree,
// makes the repository bare, pulls in other files or needs an extension.
// Any doubt (a continued line, a word those keys could hide in) says no.
bool plainConfig(const std::string& text) {
  const std::string lower = lowered(text);
  for (const char* word : {"worktree", "extensions", "include", "\\\n", "\\\r"})
    if (lower.find(word) != std::string::npos) return false;
  size_t start = 0;
  while (start < lower.size()) {
    size_t end = lower.find('\n', start);
    if (end == std::string::npos) end = lower.size();
    std::string_view line = stripped(std::string_view(lower).substr(start, end - start));
    start = end + 1;
    const size_t equals = line.find('=');
    const std::string_view key = stripped(line.substr(0, equals));
    const std::string_view value = equals == std::string_view::npos ? "" : stripped(line.substr(equals + 1));
    if (key == "bare" && value != "false") return false;
    if (key == "repositoryformatversion" && value != "0" && value != "1") return false;
  }
  return true;
}

// HEAD as git's own check of a git directory accepts it.
bool plainHead(const std::string& path) {
  const auto text = smallFile(path);
  if (!text) return false;
  if (text->starts_with("ref: refs/")) return true;
  return text->size() >= 40 && text->find_first_not_of("0123456789abcdef") >= 40;
}

} // namespace

std::optional<std::vector<std::string>> plainRepositoryAnswers(const std::string& folder,
                                                              const std::map<std::string, std::string>& environment) {
  for (const char* name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_COMMON_DIR", "GIT_CEILING_DIRECTORIES",
                           "GIT_DISCOVERY_ACROSS_FILESYSTEM", "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT",
                           "GIT_OBJECT_DIRECTORY", "GIT_TEST_ASSUME_DIFFERENT_OWNER", "GIT_DEFAULT_HASH"})
    if (environment.contains(name)) return std::nullopt;
  char resolved[PATH_MAX];
  if (!::realpath(folder.c_str(), resolved)) return std::nullopt;
  const std::string top = resolved;
  if (top == "/") return std::nullopt;
  const std::string gitDir = top + "/.git";
  if (!ownedByUs(top, S_IFDIR) || !ownedByUs(gitDir, S_IFDIR)) return std::nullopt;
  if (!isFileOfType(gitDir + "/objects", S_IFDIR) || !isFileOfType(gitDir + "/refs", S_IFDIR) ||
      !isFileOfType(gitDir + "/HEAD", S_IFREG) || !plainHead(gitDir + "/HEAD"))
    return std::nullopt;
  if (exists(gitDir + "/commondir") || exists(gitDir + "/shallow")) return std::nullopt;
  const auto config = smallFile(gitDir + "/config");
  if (!config || !plainConfig(*config)) return std::nullopt;
  return std::vector<std::string>{gitDir, ".git", "false", "false", "sha1", top};
}

} // namespace tavrik::detail
