#include "Support/GitServers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrik::testing {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The fixture's own requests to lighttpd, left out of accessLog().
constexpr const char* kFixturePath = "/.fixture-";

// Closes its descriptor when it goes, so that no early return leaks one.
struct OwnedFd {
  int fd;
  explicit OwnedFd(int f) : fd(f) {}
  ~OwnedFd() { reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  void reset() {
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
};

std::filesystem::path findProgram(const std::string& name,
                                  const std::vector<std::string>& alsoIn = {}) {
  std::vector<std::string> dirs = split(getenv("PATH") ? getenv("PATH") : "", ':');
  dirs.insert(dirs.end(), alsoIn.begin(), alsoIn.end());
  for (const auto& dir : dirs) {
    if (dir.empty())
      continue;
    auto candidate = std::filesystem::path(dir) / name;
    if (access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  throw std::runtime_error("cannot find " + name);
}

// Moves `fd` above the standard descriptors and 3, so that a child can dup2
// its descriptors into 0..3 without overwriting one it still needs.
int moveHigh(int fd) {
  if (fd < 0)
    throw std::runtime_error(std::string("cannot open: ") + strerror(errno));
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  if (high < 0)
    throw std::runtime_error("fcntl(F_DUPFD_CLOEXEC) failed");
  return high;
}

// The kernel picks the port and the socket is listening before any server
// runs: no other test can take the port in between.
int listenOnLoopback(int& port) {
  int fd = moveHigh(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t length = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    close(fd);
    throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") + strerror(errno));
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// lighttpd's strings and the log command's shell quoting have escapes we do
// not need: refuse what would need one.
const std::string& plain(const std::string& value) {
  if (value.find_first_of("\"'\\\n\r") != std::string::npos)
    throw std::invalid_argument("unsupported character in server setting: " + value);
  return value;
}

std::string quoted(const std::string& value) { return "\"" + plain(value) + "\""; }

void writePrivateFile(const std::filesystem::path& path, const std::string& content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw std::runtime_error("cannot create " + path.string());
  bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  close(fd);
  if (!ok)
    throw std::runtime_error("cannot write " + path.string());
}

// This process's variables without git's, plus the ones that keep the
// machine's git configuration away from the servers' git programs.
std::vector<std::string> hermeticGitEnvironment(const std::filesystem::path& home) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string variable = *entry;
    if (variable.rfind("GIT_", 0) != 0 && variable.rfind("HOME=", 0) != 0)
      env.push_back(variable);
  }
  env.push_back("GIT_CONFIG_NOSYSTEM=1");
  env.push_back("GIT_CONFIG_GLOBAL=/dev/null");
  env.push_back("HOME=" + home.string());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings)
    result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// True once `pid` has exited and been reaped, waiting at most `timeout`.
bool reapWithin(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR))
      return true;
    if (Clock::now() >= deadline)
      return false;
    usleep(5000);
  }
}

// Sends one GET and waits for the status line; `keepWaiting` is asked
// between tries and may give up early (a server that exited).
bool httpAnswers(int port, const std::string& path, Clock::time_point deadline,
                 const std::function<bool()>& keepWaiting) {
  const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  while (Clock::now() < deadline && keepWaiting()) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply;
    bool sent = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                    static_cast<ssize_t>(request.size());
    while (sent && reply.find("\r\n") == std::string::npos && Clock::now() < deadline &&
           keepWaiting()) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0)
        break;
      reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (reply.rfind("HTTP/1.", 0) == 0)
      return true;
    usleep(20000);
  }
  return false;
}

std::string withoutFixtureRequests(const std::string& log) {
  std::string kept;
  for (const auto& line : split(log, '\n'))
    if (line.find(std::string(" ") + kFixturePath) == std::string::npos)
      kept += line + "\n";
  return kept;
}

} // namespace

std::unique_ptr<GitHttpServer> GitHttpServer::start(std::filesystem::path projectRoot,
                                                    std::string user, std::string password) {
  if (user.empty() || user.find_first_of(":\n\r") != std::string::npos ||
      password.find_first_of("\n\r") != std::string::npos)
    throw std::invalid_argument("user names cannot be empty or hold ':', and no line breaks");
  std::unique_ptr<GitHttpServer> server(new GitHttpServer);
  server->user_ = std::move(user);
  server->password_ = std::move(password);
  server->dir_ = std::make_unique<TempDir>();
  const auto& dir = server->dir_->path();
  projectRoot = std::filesystem::absolute(projectRoot);

  auto lighttpd = findProgram("lighttpd", {"/usr/sbin", "/usr/local/sbin", "/sbin"});
  auto git = findProgram("git");
  auto execPath = runProgram({git.string(), "--exec-path"}, dir).out;
  while (!execPath.empty() && (execPath.back() == '\n' || execPath.back() == '\r'))
    execPath.pop_back();
  auto backend = std::filesystem::path(execPath) / "git-http-backend";
  if (access(backend.c_str(), X_OK) != 0)
    throw std::runtime_error("cannot find " + backend.string());

  std::filesystem::create_directory(dir / "htdocs");
  writePrivateFile(dir / "users", server->user_ + ":" + server->password_ + "\n");
  OwnedFd listenFd(listenOnLoopback(server->port_));
  const char* path = getenv("PATH");
  std::string conf;
  auto line = [&conf](const std::string& text) { conf += text + "\n"; };
  auto file = [&dir](const char* name) { return quoted((dir / name).string()); };
  line(R"(server.modules = ("mod_auth", "mod_authn_file", "mod_setenv", "mod_alias", "mod_cgi",)");
  line(R"(                  "mod_accesslog"))");
  line("server.document-root = " + file("htdocs"));
  // The fixture's socket comes as descriptor 3 and matches this address, so
  // lighttpd binds nothing itself.
  line(R"(server.systemd-socket-activation = "enable")");
  line(R"(server.bind = "127.0.0.1")");
  line("server.port = " + std::to_string(server->port_));
  line("server.errorlog = " + file("error.log"));
  line("server.pid-file = " + file("lighttpd.pid"));
  line("server.upload-dirs = (" + quoted(dir.string()) + ")");
  // A wrong password is refused at once instead of after a delay.
  line(R"(server.feature-flags = ("auth.delay-invalid-creds" => "disable"))");
  // A piped log gets each line as its request ends; a file log is buffered.
  line("accesslog.filename = \"|exec cat >> '" + plain((dir / "access.log").string()) + "'\"");
  line(R"(auth.backend = "plain")");
  line("auth.backend.plain.userfile = " + file("users"));
  line(R"(auth.require = ("" => ("method" => "basic", "realm" => "git",)");
  line(R"(                        "require" => "valid-user")))");
  line(R"(alias.url = ("/git/" => )" + quoted(backend.string() + "/") + ")");
  line(R"($HTTP["url"] =^ "/git/" {)");
  line(R"(  cgi.assign = ("" => ""))");
  // lighttpd gives a CGI none of its own variables: these are all it gets.
  line(R"(  setenv.set-environment = ()");
  line(R"(    "GIT_PROJECT_ROOT" => )" + quoted(projectRoot.string()) + ",");
  line(R"(    "GIT_HTTP_EXPORT_ALL" => "1",)");
  line(R"(    "GIT_CONFIG_NOSYSTEM" => "1",)");
  line(R"(    "GIT_CONFIG_GLOBAL" => "/dev/null",)");
  line(R"(    "GIT_CONFIG_COUNT" => "1",)");
  line(R"(    "GIT_CONFIG_KEY_0" => "http.receivepack",)");
  line(R"(    "GIT_CONFIG_VALUE_0" => "true",)");
  line(R"(    "HOME" => )" + quoted(dir.string()) + ",");
  line(R"(    "PATH" => )" + quoted(path ? path : "/usr/bin:/bin") + ")");
  line("}");
  writePrivateFile(dir / "lighttpd.conf", conf);

  // Everything the child needs is prepared here: after fork it may only make
  // async-signal-safe calls, since other threads may hold locks.
  std::vector<std::string> args = {lighttpd.string(), "-D", "-f", (dir / "lighttpd.conf").string()};
  std::vector<std::string> env = {"PATH=" + std::string(path ? path : "/usr/bin:/bin"),
                                  "HOME=" + dir.string(), "LISTEN_FDS=1",
                                  "LISTEN_PID=" + std::string(20, '\0')};
  auto argv = pointers(args);
  auto envp = pointers(env);
  char* pidDigits = env.back().data() + strlen("LISTEN_PID=");
  OwnedFd nullFd(moveHigh(open("/dev/null", O_RDONLY | O_CLOEXEC)));
  OwnedFd outFd(moveHigh(
      open((dir / "lighttpd.out").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)));

  pid_t pid = fork();
  if (pid == 0) {
    // Its own process group, so that teardown also reaches the CGI programs.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    if (dup2(nullFd.fd, 0) < 0 || dup2(outFd.fd, 1) < 0 || dup2(outFd.fd, 2) < 0 ||
        dup2(listenFd.fd, 3) < 0)
      _exit(127);
    if (close_range(4, ~0U, 0) != 0)
      for (int fd = 4; fd < 1024; ++fd)
        close(fd);
    // Socket activation: LISTEN_PID must name the process that reads it.
    char digits[20];
    int n = 0;
    for (pid_t self = getpid(); self > 0; self /= 10)
      digits[n++] = static_cast<char>('0' + self % 10);
    for (int i = 0; i < n; ++i)
      pidDigits[i] = digits[n - 1 - i];
    pidDigits[n] = '\0';
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  // lighttpd holds the socket now; if it dies, connecting fails instead of hanging.
  listenFd.reset();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  server->pid_ = pid;
  setpgid(pid, pid);

  auto alive = [&server] {
    int status = 0;
    if (waitpid(server->pid_, &status, WNOHANG) == server->pid_)
      server->reaped_ = true;
    return !server->reaped_;
  };
  if (!httpAnswers(server->port_, std::string(kFixturePath) + "probe", Clock::now() + 5s, alive))
    throw std::runtime_error(
        std::string(server->reaped_ ? "lighttpd exited" : "lighttpd did not answer") +
        " within 5 s.\nerror log:\n" + server->errorLog() + "\nstandard error:\n" +
        readFile(dir / "lighttpd.out"));
  return server;
}

GitHttpServer::~GitHttpServer() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGTERM);
    if (!reapWithin(pid_, 5s)) {
      kill(pid_, SIGKILL);
      reapWithin(pid_, 5s);
    }
  }
  // What lighttpd started and left behind (CGI programs, the log writer).
  if (pid_ > 0)
    kill(-pid_, SIGKILL);
}

std::string GitHttpServer::url(const std::string& repoName) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/git/" + repoName;
}

std::string GitHttpServer::accessLog() const {
  // lighttpd logs requests in order: once the line of a request sent now is
  // in the file, so are the lines of every request answered before.
  auto logPath = dir_->path() / "access.log";
  auto marker = std::string(kFixturePath) + "flush-" + std::to_string(++flushes_);
  auto deadline = Clock::now() + 5s;
  std::string log = readFile(logPath);
  if (!reaped_ && httpAnswers(port_, marker, deadline, [] { return true; }))
    while ((log = readFile(logPath)).find(marker + " ") == std::string::npos &&
           Clock::now() < deadline)
      usleep(2000);
  return withoutFixtureRequests(log);
}

std::string GitHttpServer::errorLog() const {
  return readFile(dir_->path() / "error.log");
}

std::unique_ptr<GitDaemonServer> GitDaemonServer::start(std::filesystem::path baseDir) {
  std::unique_ptr<GitDaemonServer> server(new GitDaemonServer);
  server->dir_ = std::make_unique<TempDir>();
  const auto& dir = server->dir_->path();
  baseDir = std::filesystem::absolute(baseDir);
  server->argv_ = {findProgram("git").string(),
                   "daemon",
                   "--inetd",
                   "--export-all",
                   "--forbid-override=receive-pack",
                   "--informative-errors",
                   "--verbose",
                   "--log-destination=stderr",
                   "--base-path=" + baseDir.string(),
                   baseDir.string()};
  server->env_ = hermeticGitEnvironment(dir);
  server->logFd_ =
      moveHigh(open((dir / "daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  server->stopFd_ = moveHigh(eventfd(0, EFD_CLOEXEC));
  server->listenFd_ = listenOnLoopback(server->port_);
  server->thread_ = std::thread([s = server.get()] { s->serve(); });
  return server;
}

void GitDaemonServer::serve() {
  auto args = argv_;
  auto env = env_;
  auto argv = pointers(args);
  auto envp = pointers(env);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so that teardown also reaches git upload-pack.
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, pipe;
  sigemptyset(&none);
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &pipe);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<pid_t> children;
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    int ready = poll(fds, 2, 200);
    std::erase_if(children, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
    if (ready < 0 && errno != EINTR)
      break;
    if (ready <= 0)
      continue;
    if (fds[1].revents)
      break;
    if (!(fds[0].revents & POLLIN))
      continue;
    int conn = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0)
      continue;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, conn, 0);
    posix_spawn_file_actions_adddup2(&actions, conn, 1);
    posix_spawn_file_actions_adddup2(&actions, logFd_, 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir_->path().c_str());
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) == 0)
      children.push_back(pid);
    posix_spawn_file_actions_destroy(&actions);
    close(conn);
  }
  posix_spawnattr_destroy(&attr);
  for (pid_t pid : children) {
    kill(-pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

GitDaemonServer::~GitDaemonServer() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    while (write(stopFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int fd : {listenFd_, stopFd_, logFd_})
    if (fd >= 0)
      close(fd);
}

std::string GitDaemonServer::url(const std::string& repoName) const {
  return "git://127.0.0.1:" + std::to_string(port_) + "/" + repoName;
}

std::string GitDaemonServer::log() const {
  return readFile(dir_->path() / "daemon.log");
}

} // namespace tavrik::testing
