#include "tavrik/Rebase/GitSocketEditor.h"

#include "tavrik/Queue/TavrikError.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/Uuid.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace tavrik {

namespace {

constexpr size_t kMaxRequest = 64 * 1024;


bool sameText(const std::string& a, const std::string& b) {
  // Constant time in the token's length, so timing tells nothing of it.
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// The id of the commit being replayed: the second word of the last line
// of rebase-merge/done, when there is one.
std::optional<std::string> commitBeingReplayed(const std::string& gitDirectory) {
  std::optional<std::string> done;
  try {
    done = readFileIfExists(gitDirectory + "/rebase-merge/done");
  } catch (const Error&) {
  }
  if (!done) return std::nullopt;
  std::optional<std::string> commit;
  for (auto line : splitPieces(*done, '\n')) {
    if (line.empty() || line.front() == '#') continue;
    auto words = splitPieces(line, ' ');
    if (words.size() >= 2 && !words[1].empty()) commit = std::string(words[1]);
  }
  return commit;
}

} // namespace

std::shared_ptr<GitSocketEditor> GitSocketEditor::create(const GitRepositoryDescriptor& repository,
                                                         std::optional<GitRebaseRequest> request,
                                                         MessageHook messageHook) {
  auto editor = std::make_shared<GitSocketEditor>(Passkey{}, repository, std::move(request), std::move(messageHook));
  editor->start();
  return editor;
}

GitSocketEditor::GitSocketEditor(Passkey, const GitRepositoryDescriptor& repository,
                                 std::optional<GitRebaseRequest> request, MessageHook messageHook)
    : request_(std::move(request)), messageHook_(std::move(messageHook)) {
  for (const auto& url : {repository.gitURL, repository.commonURL})
    if (auto real = realPath(url.path())) allowedDirectories_.push_back(*real);
}

void GitSocketEditor::start() {
  // A random UUID: 122 bits from the kernel, as the rest of the engine makes ids.
  token_ = Uuid::random().uuidString();
  // /tmp rather than TMPDIR: a socket path must fit in 108 bytes.
  std::string folder = "/tmp/tavrik-editor-XXXXXX";
  if (!::mkdtemp(folder.data())) throw TavrikError::fromErrno(errno, "mkdtemp " + folder);
  folder_ = folder; // mkdtemp makes it 0700
  socketPath_ = folder_ + "/socket";

  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) {
    int saved = errno;
    finishEditing();
    throw TavrikError::fromErrno(saved, "socket");
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
      ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
    int saved = errno;
    finishEditing();
    throw TavrikError::fromErrno(saved, "bind " + socketPath_);
  }
  server_ = std::thread([this] { serve(); });
}

GitSocketEditor::~GitSocketEditor() {
  finishEditing();
  if (server_.joinable()) server_.join();
  if (wakePipe_[1] >= 0) ::close(wakePipe_[1]);
}

std::map<std::string, std::string> GitSocketEditor::editorEnvironment() const {
  return {{kSocketVariable, socketPath_}, {kTokenVariable, token_}};
}

std::optional<std::string> GitSocketEditor::editMessage(const std::string& message,
                                                        const std::optional<std::string>& commit) {
  return messageHook_ ? messageHook_(message, commit) : std::nullopt;
}

void GitSocketEditor::finishEditing() {
  std::lock_guard lock(finishLock_);
  if (finished_) return;
  finished_ = true;
  if (!server_.joinable()) {
    removeSocket();
    return;
  }
  char byte = 0;
  while (::write(wakePipe_[1], &byte, 1) < 0 && errno == EINTR) {
  }
  // A request in progress may be waiting on the client (a message hook
  // showing a dialog, say) on the very thread that finishes: then the server
  // removes the socket itself once it is answered, and the destructor joins.
  std::unique_lock state(stateLock_);
  stateChanged_.wait(state, [this] { return exited_ || inClientCall_; });
  if (exited_) {
    state.unlock();
    server_.join();
  }
}

template <class F> auto GitSocketEditor::callClient(F&& call) {
  struct Scope {
    GitSocketEditor* self;
    explicit Scope(GitSocketEditor* s) : self(s) { self->setInClientCall(true); }
    ~Scope() { self->setInClientCall(false); }
  } scope(this);
  return call();
}

void GitSocketEditor::setInClientCall(bool inCall) {
  {
    std::lock_guard state(stateLock_);
    inClientCall_ = inCall;
  }
  stateChanged_.notify_all();
}

void GitSocketEditor::removeSocket() {
  for (int* fd : {&listener_, &wakePipe_[0]})
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
  if (!folder_.empty()) ::rmdir(folder_.c_str());
}

std::vector<std::string> GitSocketEditor::editedFiles() const {
  std::lock_guard lock(editedLock_);
  return editedFiles_;
}

void GitSocketEditor::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    handle(connection);
    ::close(connection);
  }
  removeSocket();
  {
    std::lock_guard state(stateLock_);
    exited_ = true;
  }
  stateChanged_.notify_all();
}

void GitSocketEditor::handle(int connection) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::getuid()) {
    writeAll(connection, "error: refused: the connection is not from this user\n");
    return;
  }
  // A client that never finishes its request must not hold the bridge.
  timeval timeout{10, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string request;
  char chunk[4096];
  while (std::count(request.begin(), request.end(), '\0') < 2 && request.size() < kMaxRequest) {
    ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    request.append(chunk, static_cast<size_t>(n));
  }
  auto parts = splitPieces(request, '\0');
  if (parts.size() < 3) {
    writeAll(connection, "error: refused: incomplete request\n");
    return;
  }
  if (!sameText(std::string(parts[0]), token_)) {
    writeAll(connection, "error: refused: wrong token\n");
    return;
  }
  std::string reply;
  try {
    reply = answer(std::string(parts[1]));
  } catch (const std::exception& error) {
    reply = std::string("error: ") + error.what();
  }
  writeAll(connection, reply + "\n");
}

std::string GitSocketEditor::answer(const std::string& path) {
  auto real = realPath(path);
  if (!real) return "error: refused: no such file: " + path;
  const std::string* directory = nullptr;
  for (const auto& allowed : allowedDirectories_)
    if (real->starts_with(allowed + "/") && (!directory || allowed.size() > directory->size())) directory = &allowed;
  struct stat info {};
  if (!directory || ::stat(real->c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return "error: refused: not a file of the repository's git directory: " + path;
  {
    std::lock_guard lock(editedLock_);
    editedFiles_.push_back(*real);
  }

  const std::string name = real->substr(real->rfind('/') + 1);
  if (name == "git-rebase-todo") {
    std::string list = readFileIfExists(*real).value_or("");
    if (callClient([&] { return processEditList(list); })) writeFileAtomically(*real, list + "\n");
    return "ok";
  }
  if (name == "COMMIT_EDITMSG") {
    std::string message = readFileIfExists(*real).value_or("");
    auto commit = commitBeingReplayed(*directory);
    if (auto edited = callClient([&] { return editMessage(message, commit); })) writeFileAtomically(*real, *edited);
    return "ok";
  }
  return "ok";
}

} // namespace tavrik
