// git's file-system monitor hook (core.fsmonitor, protocol version 2) for
// the engine: git runs it as `fsmonitor 2 TOKEN` and reads, on standard
// output, a new token, a NUL, then the paths changed since TOKEN, each
// ended by a NUL. It asks the watcher over the socket named in
// TAVRIK_FSMONITOR_SOCKET, with the one-time token of
// TAVRIK_FSMONITOR_TOKEN, and prints its answer as it is.
//
// It never makes git wait or fail: with no watcher to ask (no variables,
// no socket, no answer within a short time, a refusal) it answers "/",
// which tells git to check everything itself, with a token no watcher
// accepts, so that the next question gets "/" too. With
// TAVRIK_FSMONITOR_DEBUG set, the reason goes to standard error.
#include "SocketRequest.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

} // namespace

int main(int argc, char** argv) {
  // Version 1 tokens are times and mean something else: let git check all.
  if (argc != 3 || std::strcmp(argv[1], "2") != 0) return everythingChanged("fsmonitor: not protocol version 2\n");
  const char* socketPath = std::getenv("TAVRIK_FSMONITOR_SOCKET");
  const char* secret = std::getenv("TAVRIK_FSMONITOR_TOKEN");
  if (!socketPath || !*socketPath || !secret || !*secret) return everythingChanged("fsmonitor: no watcher\n");

  std::string request = std::string(secret) + '\0' + argv[2] + '\0';
  std::string reply, error;
  if (!companion::exchange(socketPath, request, reply, error, kTimeoutMilliseconds))
    return everythingChanged(("fsmonitor: " + error + "\n").c_str());
  // A whole answer is "ok\n", a token, a NUL and NUL-ended paths.
  if (reply.rfind("ok\n", 0) != 0 || reply.size() < 5 || reply.back() != '\0' || reply.find('\0') == 3)
    return everythingChanged(("fsmonitor: " + reply.substr(0, reply.find('\n')) + "\n").c_str());
  return writeAll(reply.substr(3)) ? 0 : 1;
}
