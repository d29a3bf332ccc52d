// Answers git's (and ssh's) credential prompts for the engine. Git runs it
// with the prompt as its argument and reads the answer from standard output;
// it hands the prompt to the engine over the socket named in
// TAVRIK_ASKPASS_SOCKET, with the one-time token of TAVRIK_ASKPASS_TOKEN, and
// waits for the answer. It prints the answer and exits 0 when the engine
// replies "ok", and otherwise exits non-zero with a one-line reason, so git
// fails to authenticate instead of waiting on a terminal. The answer goes
// to standard output and nowhere else.
#include "SocketRequest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

int fail(const std::string& reason) {
  std::fprintf(stderr, "askpass: %s\n", reason.c_str());
  return 1;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  const char* socketPath = std::getenv("TAVRIK_ASKPASS_SOCKET");
  const char* token = std::getenv("TAVRIK_ASKPASS_TOKEN");
  if (!socketPath || !*socketPath || !token || !*token)
    return fail("TAVRIK_ASKPASS_SOCKET and TAVRIK_ASKPASS_TOKEN are not set; no credentials are available");
  if (argc < 2) return fail("no prompt to answer");

  // No time limit: the user may take a while to type a password.
  std::string reply, error;
  if (!companion::exchange(socketPath, std::string(token) + '\0' + argv[1] + '\0', reply, error)) return fail(error);

  if (reply.rfind("ok\n", 0) == 0) {
    reply.erase(0, 3);
    reply += '\n';
    if (!writeAll(STDOUT_FILENO, reply.data(), reply.size()))
      return fail(std::string("cannot write the answer: ") + std::strerror(errno));
    return 0;
  }
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  if (reply.empty()) return fail("the engine closed the connection without an answer");
  if (reply.rfind("error: ", 0) == 0) reply.erase(0, 7);
  return fail(reply);
}
