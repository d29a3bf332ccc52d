// Stands in for git's editor (and sequence editor) when the engine runs git
// with an editor attached: git runs it with the file to edit, it hands the
// file's path to the engine over the socket named in TAVRIK_EDITOR_SOCKET,
// with the one-time token of TAVRIK_EDITOR_TOKEN, and waits for the answer.
// It exits 0 when the engine has answered "ok", and otherwise non-zero with
// a one-line reason, so git stops instead of waiting or going on unedited.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int fail(const std::string& reason) {
  std::fprintf(stderr, "editor: %s\n", reason.c_str());
  return 1;
}

} // namespace

int main(int argc, char** argv) {
  const char* socketPath = std::getenv("TAVRIK_EDITOR_SOCKET");
  const char* token = std::getenv("TAVRIK_EDITOR_TOKEN");
  if (!socketPath || !*socketPath || !token || !*token)
    return fail("TAVRIK_EDITOR_SOCKET and TAVRIK_EDITOR_TOKEN are not set; nothing was edited");
  if (argc < 2) return fail("no file to edit");
  char resolved[PATH_MAX];
  if (!::realpath(argv[argc - 1], resolved)) return fail(std::string("cannot find ") + argv[argc - 1] + ": " + std::strerror(errno));

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(socketPath) >= sizeof address.sun_path) return fail("the socket path is too long");
  std::strcpy(address.sun_path, socketPath);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return fail(std::string("cannot reach the engine at ") + socketPath + ": " + std::strerror(errno));

  std::string request = std::string(token) + '\0' + resolved + '\0';
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(std::string("the engine went away: ") + std::strerror(errno));
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char chunk[1024];
  for (;;) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  if (reply == "ok") return 0;
  if (reply.empty()) return fail("the engine closed the connection without an answer");
  if (reply.rfind("error: ", 0) == 0) reply.erase(0, 7);
  return fail(reply);
}
