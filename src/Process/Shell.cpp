#include "tavrik/Process/Shell.h"
#include "tavrik/Util/StringUtilities.h"

#include "tavrik/Process/GitBuffer.h"
#include "Util/UserAccount.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrik {
namespace {

using Clock = std::chrono::steady_clock;

struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnAttributes() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

// Reaps `pid` if it has exited; the exit status then lands in `status`.
bool tryReap(pid_t pid, int& status) {
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno == EINTR) continue;
    return r < 0; // an error means there is nothing left to wait for
  }
}

void killSessionAndReap(pid_t pid, int& status) {
  // The shell leads its own session, so this reaches whatever its start-up
  // files started, too.
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 50));
}

struct DefaultShellState {
  std::once_flag once;
  std::mutex mutex; // guards shell, isSet and probeStarted
  std::shared_ptr<const Shell> shell;
  bool isSet = false;
  bool probeStarted = false;
};

// Never destroyed: a background probe may still be running while the
// process exits.
DefaultShellState& defaultShellState() {
  static auto* state = new DefaultShellState;
  return *state;
}

} // namespace

Shell::Shell(std::string path, std::chrono::milliseconds probeTimeout)
    : path_(std::move(path)), probeTimeout_(probeTimeout) {
  static const std::vector<std::vector<std::string>> kProbes = {
      {"-l", "-i", "-c", "env"}, {"-l", "-c", "env"}, {"-c", "env"}};
  for (const auto& probe : kProbes) {
    if (auto output = run(probe)) {
      environment_ = parseEnvironment(*output);
      return;
    }
  }
  environment_ = Environment{};
}

std::optional<std::string> Shell::environmentPATH() const {
  if (!environment_) return std::nullopt;
  auto it = environment_->find("PATH");
  if (it == environment_->end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Shell::run(const std::vector<std::string>& arguments) const {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
  FileDescriptor readEnd{pipeFds[0]}, writeEnd{pipeFds[1]};

  SpawnAttributes spawn;
  // No terminal to read from or be stopped by: an interactive shell would
  // otherwise wait on the user's terminal (or get SIGTTIN) and never return.
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&spawn.actions, writeEnd.fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  posix_spawnattr_setflags(&spawn.attributes, flags);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&spawn.attributes, &signals);
  sigfillset(&signals);
  sigdelset(&signals, SIGKILL);
  sigdelset(&signals, SIGSTOP);
  posix_spawnattr_setsigdefault(&spawn.attributes, &signals);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path_.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  if (::posix_spawn(&pid, path_.c_str(), &spawn.actions, &spawn.attributes, argv.data(), environ) != 0) {
    return std::nullopt;
  }
  writeEnd.reset();

  const auto deadline = Clock::now() + probeTimeout_;
  std::string output;
  int status = 0;
  bool reaped = false;
  bool timedOut = false;
  char chunk[4096];
  for (;;) {
    if (Clock::now() >= deadline) {
      timedOut = true;
      break;
    }
    pollfd p{readEnd.fd, POLLIN, 0};
    int ready = ::poll(&p, 1, millisecondsUntil(deadline));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      ssize_t n = ::read(readEnd.fd, chunk, sizeof chunk);
      if (n == 0) break;
      if (n > 0) output.append(chunk, static_cast<size_t>(n));
      else if (errno != EINTR && errno != EAGAIN) break;
    }
    // A shell that has exited while something it started still holds the
    // pipe open: its output is complete, the rest would only run the clock.
    if (!reaped && tryReap(pid, status)) {
      reaped = true;
      pollfd rest{readEnd.fd, POLLIN, 0};
      while (::poll(&rest, 1, 0) > 0) {
        ssize_t n = ::read(readEnd.fd, chunk, sizeof chunk);
        if (n <= 0) break;
        output.append(chunk, static_cast<size_t>(n));
      }
      break;
    }
  }
  while (!reaped && !timedOut) {
    if (tryReap(pid, status)) {
      reaped = true;
      break;
    }
    if (Clock::now() >= deadline) {
      timedOut = true;
      break;
    }
    ::usleep(2000);
  }
  if (!reaped) killSessionAndReap(pid, status);
  if (timedOut && !reaped) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  if (!isValidUTF8(output)) return std::nullopt;
  return output;
}

Shell::Environment Shell::parseEnvironment(std::string_view text) {
  Environment result;
  size_t lineStart = 0;
  while (lineStart <= text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = text.size();
    std::string_view line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    // Split at the first "=" that has a name before it; leading "="s give no
    // name and are passed over, as are lines with nothing after the "=".
    size_t nameStart = line.find_first_not_of('=');
    if (nameStart == std::string_view::npos) continue;
    line.remove_prefix(nameStart);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals + 1 >= line.size()) continue;
    auto name = tavrik::trimmed(line.substr(0, equals));
    auto value = tavrik::trimmed(line.substr(equals + 1));
    result[std::string(name)] = std::string(value);
  }
  return result;
}

std::optional<std::string> Shell::userShellPath() {
  auto account = detail::currentUserAccount();
  if (!account || !account->shell || account->shell->empty()) return std::nullopt;
  return account->shell;
}

std::shared_ptr<const Shell> Shell::makeUserShell() {
  auto path = userShellPath();
  if (!path) return nullptr;
  return std::make_shared<const Shell>(*path);
}

std::shared_ptr<const Shell> Shell::defaultShell() {
  auto& state = defaultShellState();
  std::call_once(state.once, [&state] {
    {
      std::lock_guard lock(state.mutex);
      if (state.isSet) return;
    }
    auto probed = makeUserShell();
    std::lock_guard lock(state.mutex);
    if (!state.isSet) {
      state.shell = std::move(probed);
      state.isSet = true;
    }
  });
  std::lock_guard lock(state.mutex);
  return state.shell;
}

void Shell::startDefaultShellProbe() {
  auto& state = defaultShellState();
  {
    std::lock_guard lock(state.mutex);
    if (state.isSet || state.probeStarted) return;
    state.probeStarted = true;
  }
  // Detached: the probe ends by itself within its timeouts, and whoever needs
  // the environment first waits for it in defaultShell().
  std::thread([] { defaultShell(); }).detach();
}

void Shell::setDefaultShell(std::shared_ptr<const Shell> shell) {
  auto& state = defaultShellState();
  std::lock_guard lock(state.mutex);
  state.shell = std::move(shell);
  state.isSet = true;
}

} // namespace tavrik
