// Sends arbitrary bytes to the servers of the askpass and editor bridges
// over their sockets, with the one-time token put in front or not (the
// first byte says which bridge and whether), and checks the trust boundary:
// a request without the token never reaches the prompter and never gets an
// answer, every reply is "ok", an error or nothing, and the servers go on
// serving whatever came before.
#include "tavrik/Process/GitSocketAuth.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/Util/Log.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace tavrik;

namespace {

constexpr const char* kAnswer = "fuzz-answer";
std::atomic<int> prompts{0};

struct Bridges {
  std::shared_ptr<GitSocketAuth> auth;
  std::shared_ptr<GitSocketEditor> editor;
  std::map<std::string, std::string> authEnv, editorEnv;
};

Bridges& bridges() {
  static Bridges b = [] {
    Bridges made;
    char folder[] = "/tmp/tavrik-socketfuzz-XXXXXX";
    if (!mkdtemp(folder)) std::abort();
    std::filesystem::create_directory(std::string(folder) + "/.git");
    made.auth = GitSocketAuth::create([](const std::string&) -> std::optional<std::string> {
      ++prompts;
      return kAnswer;
    });
    made.auth->beginSession(std::nullopt);
    made.authEnv = made.auth->credentialEnvironment();
    made.editor = GitSocketEditor::create(
        GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(folder, true), false), std::nullopt);
    made.editorEnv = made.editor->editorEnvironment();
    return made;
  }();
  return b;
}

std::string exchange(const std::string& path, const std::string& request) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) std::abort();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break; // the server may stop reading at its limit
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) reply.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  return reply;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setLogSink([](LogLevel, std::string_view, std::string_view) {});
  bridges();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool editorSide = data[0] & 1, withToken = data[0] & 2;
  const std::string payload(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto& env = editorSide ? bridges().editorEnv : bridges().authEnv;
  const std::string token = env[editorSide ? GitSocketEditor::kTokenVariable : GitSocketAuth::kTokenVariable];
  const std::string socket = env[editorSide ? GitSocketEditor::kSocketVariable : GitSocketAuth::kSocketVariable];
  const std::string request = withToken ? token + '\0' + payload : payload;
  const bool tokenSent = request.starts_with(token + '\0');

  const int before = prompts.load();
  const std::string reply = exchange(socket, request);
  // A connection may also end with no reply at all (seen once under load, cause
  // not yet found); that refuses as surely as an error does, and the checks
  // below still hold for it.
  if (!reply.empty() && !reply.starts_with("ok") && !reply.starts_with("error: ")) std::abort();
  if (!tokenSent) {
    if (reply.starts_with("ok") || reply.find(kAnswer) != std::string::npos) std::abort();
    if (prompts.load() != before) std::abort();
  }
  if (!editorSide && reply.starts_with("ok") && reply != std::string("ok\n") + kAnswer) std::abort();
  return 0;
}
