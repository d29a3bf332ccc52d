// git's file-system monitor hook (core.fsmonitor, protocol version 2) for
// the engine: git runs it as `fsmonitor 2 TOKEN` and reads, on standard
// output, a new token, a NUL, then the paths changed since TOKEN, each
// ended by a NUL. It asks the watcher over the socket named in
// TAVRIK_FSMONITOR_SOCKET, with the one-time token of
// TAVRIK_FSMONITOR_TOKEN, and prints its answer as it is. A user's own git
// in a terminal sets neither: then the watcher's file for the working tree
// (git runs the hook in its top folder) names them, when a client serves it.
//
// It never makes git wait or fail: with no watcher to ask (no variables,
// no socket, no answer within a short time, a refusal) it answers "/",
// which tells git to check everything itself, with a token no watcher
// accepts, so that the next question gets "/" too. With
// TAVRIK_FSMONITOR_DEBUG set, the reason goes to standard error.
#include "SocketRequest.h"

#include "Process/FsmonitorRendezvous.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <string>
#include <unistd.h>

namespace {

// Long enough for a watcher busy reading a burst of events, short enough
// that a hung engine costs git little.
constexpr int kTimeoutMilliseconds = 2000;

bool writeAll(const std::string& text) { return companion::writeAll(STDOUT_FILENO, text.data(), text.size()); }

int everythingChanged(const char* reason) {
  if (reason && std::getenv("TAVRIK_FSMONITOR_DEBUG") && ::write(STDERR_FILENO, reason, std::strlen(reason)) < 0) {
    // Nothing else to tell it with.
  }
  static const char kAnswer[] = "tavrik:none\0/\0";
  return writeAll(std::string(kAnswer, sizeof kAnswer - 1)) ? 0 : 1;
}

// The socket and token a serving watcher left for the working tree this
// runs in; false when there is none to trust.
bool fromRendezvous(std::string& socketPath, std::string& secret) {
  namespace rendezvous = tavrik::detail::rendezvous;
  char cwd[PATH_MAX];
  if (!::getcwd(cwd, sizeof cwd) || !rendezvous::folderIsPrivate()) return false;
  int fd = ::open(rendezvous::fileFor(cwd).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string content;
  char chunk[1024];
  for (ssize_t n; content.size() < 16384 && (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    content.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t first = content.find('\0'), second = content.find('\0', first + 1);
  size_t third = second == std::string::npos ? second : content.find('\0', second + 1);
  // The name is a hash: another working tree's file may sit under it.
  if (third == std::string::npos || content.compare(0, first, cwd) != 0) return false;
  socketPath = content.substr(first + 1, second - first - 1);
  secret = content.substr(second + 1, third - second - 1);
  return !socketPath.empty() && !secret.empty();
}

} // namespace

int main(int argc, char** argv) {
  // Version 1 tokens are times and mean something else: let git check all.
  if (argc != 3 || std::strcmp(argv[1], "2") != 0) return everythingChanged("fsmonitor: not protocol version 2\n");
  const char* socketVariable = std::getenv("TAVRIK_FSMONITOR_SOCKET");
  const char* secretVariable = std::getenv("TAVRIK_FSMONITOR_TOKEN");
  std::string socketPath, secret;
  if (socketVariable && *socketVariable && secretVariable && *secretVariable) {
    socketPath = socketVariable;
    secret = secretVariable;
  } else if (!fromRendezvous(socketPath, secret)) {
    return everythingChanged("fsmonitor: no watcher\n");
  }

  std::string request = secret + '\0' + argv[2] + '\0';
  std::string reply, error;
  if (!companion::exchange(socketPath.c_str(), request, reply, error, kTimeoutMilliseconds))
    return everythingChanged(("fsmonitor: " + error + "\n").c_str());
  // A whole answer is "ok\n", a token, a NUL and NUL-ended paths.
  if (reply.rfind("ok\n", 0) != 0 || reply.size() < 5 || reply.back() != '\0' || reply.find('\0') == 3)
    return everythingChanged(("fsmonitor: " + reply.substr(0, reply.find('\n')) + "\n").c_str());
  return writeAll(reply.substr(3)) ? 0 : 1;
}
