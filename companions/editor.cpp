// Stands in for git's editor (and sequence editor) when the engine runs git
// with an editor attached: git runs it with the file to edit, it hands the
// file's path to the engine over the socket named in TAVRIK_EDITOR_SOCKET,
// with the one-time token of TAVRIK_EDITOR_TOKEN, and waits for the answer.
// It exits 0 when the engine has answered "ok", and otherwise non-zero with
// a one-line reason, so git stops instead of waiting or going on unedited.
#include "SocketRequest.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

  std::string reply, error;
  if (!companion::exchange(socketPath, std::string(token) + '\0' + resolved + '\0', reply, error)) return fail(error);
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  if (reply == "ok") return 0;
  if (reply.empty()) return fail("the engine closed the connection without an answer");
  if (reply.rfind("error: ", 0) == 0) reply.erase(0, 7);
  return fail(reply);
}
