#include "tavrik/Process/GitPrefix.h"

#include "tavrik/Interfaces/ArborError.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tavrik {
namespace {

std::optional<fs::path> findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      fs::path candidate = fs::path(dir) / program;
      if (access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

// Runs git itself, not through a shell: a shell costs a start-up of its own
// and reads the user's profile.
std::string execPathOf(const fs::path& git) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw arbor::Error::generic("cannot run " + git.string());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = git.string();
  char* argv[] = {program.data(), const_cast<char*>("--exec-path"), nullptr};
  pid_t pid = 0;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string out;
  std::array<char, 512> buf;
  for (ssize_t n; spawned == 0 && ((n = read(fds[0], buf.data(), buf.size())) > 0 || (n < 0 && errno == EINTR));)
    if (n > 0) out.append(buf.data(), static_cast<size_t>(n));
  close(fds[0]);
  int status = -1;
  if (spawned == 0)
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (status != 0 || out.empty()) throw arbor::Error::generic("git --exec-path failed for " + git.string());
  return out;
}

fs::path cacheDirectory() {
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') return fs::path(xdg) / "tavrik";
  if (const char* home = std::getenv("HOME"); home && *home == '/') return fs::path(home) / ".cache" / "tavrik";
  return fs::temp_directory_path() / ("tavrik-" + std::to_string(getuid()));
}

fs::path selfDirectory() {
  std::error_code ec;
  auto self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
}

// Replaces `link` with a symbolic link to `target`, atomically, so that
// concurrent clients never see a half-made prefix.
void placeLink(const fs::path& target, const fs::path& link) {
  std::error_code ec;
  if (fs::is_symlink(link, ec) && fs::read_symlink(link, ec) == target) return;
  fs::path temporary = link;
  temporary += ".tmp" + std::to_string(getpid());
  fs::remove(temporary, ec);
  fs::create_symlink(target, temporary);
  fs::rename(temporary, link);
}

} // namespace

Url resolveGitPrefix(const std::optional<std::string>& requested) {
  if (requested) {
    auto url = Url::fileURL(*requested, true);
    if (access((url.path() + "/bin/git").c_str(), X_OK) != 0)
      throw arbor::Error::generic("no executable bin/git under the prefix " + url.path());
    return url;
  }
  auto git = findOnPath("git");
  if (!git) throw arbor::Error::generic("git was not found on PATH");
  fs::path realGit = fs::canonical(*git);
  fs::path prefix = cacheDirectory() / "git-prefix";
  fs::create_directories(prefix / "bin");
  fs::create_directories(prefix / "libexec");
  fs::create_directories(prefix / "share" / "git-core");
  // A prefix laid out earlier for the same git is reused without asking git
  // for its exec path again.
  std::error_code ec;
  const bool cached = fs::is_symlink(prefix / "bin" / "git", ec) && fs::read_symlink(prefix / "bin" / "git", ec) == realGit &&
                      fs::is_directory(prefix / "libexec" / "git-core", ec);
  placeLink(realGit, prefix / "bin" / "git");
  if (!cached) placeLink(execPathOf(realGit), prefix / "libexec" / "git-core");
  for (const char* templates : {"/usr/share/git-core/templates", "/usr/local/share/git-core/templates"}) {
    if (fs::is_directory(templates)) {
      placeLink(templates, prefix / "share" / "git-core" / "templates");
      break;
    }
  }
  // The companion programs are built next to the client (build tree) or
  // installed beside it.
  fs::path self = selfDirectory();
  for (const char* companion : {"askpass", "editor", "pinentry", "fsmonitor"}) {
    for (const auto& candidate : {self / ".." / "companions" / companion, self / ("tavrik-" + std::string(companion))}) {
      std::error_code ec;
      if (fs::is_regular_file(candidate, ec)) {
        placeLink(fs::canonical(candidate), prefix / "bin" / companion);
        break;
      }
    }
  }
  return Url::fileURL(prefix.string(), true);
}

} // namespace tavrik
