#include "tavrik/Rebase/GitSocketEditor.h"

#include "Process/UnixSocketServer.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/Log.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/Util/Uuid.h"

#include <cerrno>
#include <condition_variable>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utility>

namespace tavrik {

namespace {

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
  folder_ = detail::makeBridgeFolder("editor");
  socketPath_ = folder_ + "/socket";
  try {
    detail::listenAt(socketPath_, listener_);
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) throw TavrikError::fromErrno(errno, "bind " + socketPath_);
  } catch (...) {
    // No server runs yet, so this removes the socket and folder at once.
    finishEditing();
    throw;
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
  detail::closeAndRemove({&listener_, &wakePipe_[0]}, socketPath_, folder_);
}

std::vector<std::string> GitSocketEditor::editedFiles() const {
  std::lock_guard lock(editedLock_);
  return editedFiles_;
}

void GitSocketEditor::serve() {
  detail::serveConnections(listener_, wakePipe_[0], [this](int connection) { handle(connection); });
  removeSocket();
  {
    std::lock_guard state(stateLock_);
    exited_ = true;
  }
  stateChanged_.notify_all();
}

void GitSocketEditor::handle(int connection) {
  // A client that never finishes its request must not hold the bridge.
  timeval timeout{10, 0};
  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string request = detail::readRequest(connection);
  auto parts = splitPieces(request, '\0');
  if (parts.size() < 3) {
    detail::writeAll(connection, "error: refused: incomplete request\n");
    return;
  }
  if (!detail::sameText(parts[0], token_)) {
    detail::writeAll(connection, "error: refused: wrong token\n");
    return;
  }
  std::string reply;
  try {
    reply = answer(std::string(parts[1]));
  } catch (const std::exception& error) {
    reply = std::string("error: ") + error.what();
  }
  detail::writeAll(connection, reply + "\n");
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
