#include "Support/ScratchRepo.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrik::testing {

std::filesystem::path testPrefix() { return TAVRIK_TEST_PREFIX; }

void makeGitEnvironmentHermetic() {
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  setenv("GIT_AUTHOR_NAME", "Test Author", 1);
  setenv("GIT_AUTHOR_EMAIL", "author@example.com", 1);
  setenv("GIT_COMMITTER_NAME", "Test Committer", 1);
  setenv("GIT_COMMITTER_EMAIL", "committer@example.com", 1);
  setenv("GIT_AUTHOR_DATE", "2024-01-02T10:00:00+02:00", 1);
  setenv("GIT_COMMITTER_DATE", "2024-01-02T10:00:00+02:00", 1);
  unsetenv("GIT_DIR");
  unsetenv("GIT_WORK_TREE");
  unsetenv("GIT_INDEX_FILE");
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tavrik-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  // Resolve symlinks so paths compare equal to what git prints.
  path_ = std::filesystem::canonical(tmpl);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

CommandResult runProgram(const std::vector<std::string>& argv, const std::filesystem::path& cwd) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  CommandResult result;
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    throw std::runtime_error("cannot launch " + argv[0]);
  }
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ScratchRepo::ScratchRepo(bool bare) {
  makeGitEnvironmentHermetic();
  std::vector<std::string> args = {"init", "-q", "-b", "main"};
  if (bare) args.push_back("--bare");
  git(args);
}

CommandResult ScratchRepo::tryGit(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, path());
}

std::string ScratchRepo::git(const std::vector<std::string>& args) const {
  auto result = tryGit(args);
  if (result.status != 0) {
    std::string joined;
    for (auto& a : args) joined += " " + a;
    throw std::runtime_error("git" + joined + " failed (" + std::to_string(result.status) + "): " + result.err);
  }
  return result.out;
}

void ScratchRepo::write(const std::string& relativePath, const std::string& content) const {
  auto full = path() / relativePath;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ScratchRepo::commitFile(const std::string& relativePath, const std::string& content,
                                    const std::string& message) const {
  write(relativePath, content);
  git({"add", "--", relativePath});
  git({"commit", "-q", "-m", message});
  auto head = git({"rev-parse", "HEAD"});
  while (!head.empty() && (head.back() == '\n' || head.back() == '\r')) head.pop_back();
  return head;
}

} // namespace tavrik::testing
