// The companions' one exchange with the engine over its Unix-domain socket.
// Header-only and on <string> alone: the companions link libstdc++
// statically and git starts one for every prompt or file, so they stay small.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace companion {

// Connects to `socketPath`, sends all of `request`, shuts the sending side
// (the engine reads to that end) and reads `reply` until the engine closes,
// by default with no time limit: a person may be answering. A positive
// `timeoutMilliseconds` bounds each connect, send and receive. False, with a
// one-line `error`, when the engine cannot be reached or stops taking the
// request.
inline bool exchange(const char* socketPath, const std::string& request, std::string& reply, std::string& error,
                     int timeoutMilliseconds = 0) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(socketPath) >= sizeof address.sun_path) {
    error = "the socket path is too long";
    return false;
  }
  std::strcpy(address.sun_path, socketPath);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && timeoutMilliseconds > 0) {
    timeval limit{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = std::string("cannot reach the engine at ") + socketPath + ": " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }

  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::string("the engine went away: ") + std::strerror(errno);
      ::close(fd);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  reply.clear();
  char chunk[1024];
  for (;;) {
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && timeoutMilliseconds > 0) {
      // A reply cut short by the time limit must not pass for a whole one.
      error = std::string("no answer from the engine: ") + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n <= 0) break;
    reply.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

// Writes all of `size` bytes to `fd`; false once it cannot.
inline bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

} // namespace companion
