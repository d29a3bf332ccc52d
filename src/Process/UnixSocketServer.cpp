#include "Process/UnixSocketServer.h"

#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace tavrik::detail {

namespace {

constexpr size_t kMaxRequest = 64 * 1024;

// The core of both readRequest forms; `waitReadable` says whether to read
// on (true) or give the request up as it is (false).
template <class Wait> std::string readFields(int connection, Wait waitReadable) {
  std::string request;
  char chunk[4096];
  while (std::count(request.begin(), request.end(), '\0') < 2 && request.size() < kMaxRequest) {
    if (!waitReadable()) break;
    ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    request.append(chunk, static_cast<size_t>(n));
  }
  return request;
}

bool fromThisUser(int connection) {
  ucred peer{};
  socklen_t length = sizeof peer;
  return ::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid();
}

} // namespace

std::string makePrivateFolder(std::string pattern) {
  if (!::mkdtemp(pattern.data())) throw TavrikError::fromErrno(errno, "mkdtemp " + pattern);
  return pattern;
}

void removeStaleBridgeFolders(const std::string& base, std::string_view kind) {
  DIR* dir = ::opendir(base.c_str());
  if (!dir) return;
  const std::string prefix = "tavrik-" + std::string(kind) + "-";
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (!name.starts_with(prefix)) continue;
    std::string_view rest = name.substr(prefix.size());
    size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || rest.size() - dash - 1 != 6) continue;
    pid_t pid = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + dash, pid);
    if (error != std::errc() || end != rest.data() + dash || pid <= 0) continue;
    if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
    const std::string folder = base + "/" + std::string(name);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) continue;
    // The monitor's folder also holds its private index.
    for (const char* file : {"/socket", "/index", "/index.lock", "/index.new"}) ::unlink((folder + file).c_str());
    ::rmdir(folder.c_str());
  }
  ::closedir(dir);
}

std::string makeBridgeFolder(std::string_view kind) {
  const std::string name = "/tavrik-" + std::string(kind) + "-" + std::to_string(::getpid()) + "-XXXXXX";
  std::string base = "/tmp";
  if (const char* tmp = std::getenv("TMPDIR"); tmp && tmp[0] == '/') {
    std::string candidate = tmp;
    while (candidate.size() > 1 && candidate.back() == '/') candidate.pop_back();
    if (candidate.size() + name.size() + sizeof "/socket" <= sizeof(sockaddr_un::sun_path)) base = candidate;
  }
  removeStaleBridgeFolders(base, kind);
  return makePrivateFolder(base + name);
}

void listenAt(const std::string& path, int& listener) {
  listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) throw TavrikError::fromErrno(errno, "socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 8) != 0)
    throw TavrikError::fromErrno(errno, "bind " + path);
}

void closeAndRemove(std::initializer_list<int*> descriptors, const std::string& socketPath,
                    const std::string& folder) {
  for (int* fd : descriptors)
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  if (!socketPath.empty()) ::unlink(socketPath.c_str());
  if (!folder.empty()) ::rmdir(folder.c_str());
}

void serveConnections(int listener, int wake, const std::function<void(int connection)>& handle) {
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    if (fromThisUser(connection))
      handle(connection);
    else
      writeAll(connection, "error: refused: the connection is not from this user\n");
    ::close(connection);
  }
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

std::string randomToken() {
  unsigned char bytes[32];
  for (size_t got = 0; got < sizeof bytes;) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TavrikError::fromErrno(errno, "getrandom");
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

bool sameText(std::string_view a, std::string_view b) {
  // Constant time in the token's length, so timing tells nothing of it.
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string readRequest(int connection) {
  return readFields(connection, [] { return true; });
}

std::string readRequest(int connection, int wake, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  return readFields(connection, [&] {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd fds[2] = {{connection, POLLIN, 0}, {wake, POLLIN, 0}};
      int ready = ::poll(fds, 2, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      return ready > 0 && !fds[1].revents;
    }
  });
}

} // namespace tavrik::detail
