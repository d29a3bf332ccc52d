#include "tavrik/Process/GitSocketAuth.h"

#include "Process/UnixSocketServer.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tavrik {

namespace {

// The companion sends its request at once; only a stuck or hostile client
// takes longer, and it must not hold the prompts queued behind it.
constexpr std::chrono::seconds kRequestTimeout{5};

// Freed memory is not cleared: an answer could otherwise outlive its use in
// the heap.
void wipe(std::string& secret) {
  ::explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

} // namespace

struct GitSocketAuth::Server {
  explicit Server(std::shared_ptr<Prompts> p) : prompts(std::move(p)) {}
  ~Server() {
    removeSocket();
    for (int fd : wakePipe)
      if (fd >= 0) ::close(fd);
  }

  static std::shared_ptr<Server> start(std::shared_ptr<Prompts> prompts);
  void serve();
  void handle(int connection);
  // The reply to `prompt`: the prompter's answer, or why there is none.
  std::string answer(const std::string& prompt);
  // Closes the listener, removes the socket and its folder; the server's
  // last act, or the destructor's when no server ever ran.
  void removeSocket();
  void wake();
  // Stops serving: true once the thread is joined, false when it is in a
  // prompt (it ends once that is answered).
  bool stop();
  bool hasExited();
  bool hasBeenWoken();

  const std::shared_ptr<Prompts> prompts;
  std::string folder;
  std::string socketPath;
  std::string token;
  int listener = -1;
  // Both ends stay open until the destructor, so a late wake never writes
  // into a closed pipe (SIGPIPE).
  int wakePipe[2] = {-1, -1};
  bool removed = false;
  std::thread thread;

  std::mutex stateLock; // guards woken, exited and inPrompt
  std::condition_variable stateChanged;
  bool woken = false;
  bool exited = false;   // the thread has removed the socket and ends
  bool inPrompt = false; // the thread waits for its turn or on the prompter
};

std::shared_ptr<GitSocketAuth::Server> GitSocketAuth::Server::start(std::shared_ptr<Prompts> prompts) {
  auto server = std::make_shared<Server>(std::move(prompts));
  server->token = detail::randomToken();
  // A failure past here leaves the cleanup to ~Server.
  server->folder = detail::makeBridgeFolder("askpass");
  server->socketPath = server->folder + "/socket";
  detail::listenAt(server->socketPath, server->listener);
  if (::pipe2(server->wakePipe, O_CLOEXEC) != 0) throw TavrikError::fromErrno(errno, "pipe2");
  // The thread owns the server too: a prompter that ends the bridge from
  // inside leaves it running on a server that is still there.
  server->thread = std::thread([server] { server->serve(); });
  return server;
}

void GitSocketAuth::Server::removeSocket() {
  if (std::exchange(removed, true)) return;
  detail::closeAndRemove({&listener}, socketPath, folder);
}

void GitSocketAuth::Server::wake() {
  {
    std::lock_guard state(stateLock);
    if (std::exchange(woken, true)) return;
  }
  char byte = 0;
  while (::write(wakePipe[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

bool GitSocketAuth::Server::stop() {
  wake();
  // A prompter may be waiting on the very thread that stops the server (a
  // dialog on the main thread, or the prompter itself ending the session):
  // then the server removes the socket itself once the prompt is answered.
  std::unique_lock state(stateLock);
  stateChanged.wait(state, [this] { return exited || inPrompt; });
  if (!exited) return false;
  state.unlock();
  thread.join();
  return true;
}

bool GitSocketAuth::Server::hasExited() {
  std::lock_guard state(stateLock);
  return exited;
}

bool GitSocketAuth::Server::hasBeenWoken() {
  std::lock_guard state(stateLock);
  return woken;
}

void GitSocketAuth::Server::serve() {
  detail::serveConnections(listener, wakePipe[0], [this](int connection) { handle(connection); });
  removeSocket();
  {
    std::lock_guard state(stateLock);
    exited = true;
  }
  stateChanged.notify_all();
}

void GitSocketAuth::Server::handle(int connection) {
  std::string request = detail::readRequest(connection, wakePipe[0], kRequestTimeout);
  size_t tokenEnd = request.find('\0');
  size_t promptEnd = tokenEnd == std::string::npos ? tokenEnd : request.find('\0', tokenEnd + 1);
  if (promptEnd == std::string::npos) {
    detail::writeAll(connection, "error: refused: incomplete request\n");
    return;
  }
  if (!detail::sameText(std::string_view(request).substr(0, tokenEnd), token)) {
    detail::writeAll(connection, "error: refused: wrong token\n");
    return;
  }
  std::string reply = answer(request.substr(tokenEnd + 1, promptEnd - tokenEnd - 1));
  detail::writeAll(connection, reply);
  wipe(reply);
}

std::string GitSocketAuth::Server::answer(const std::string& prompt) {
  // Marked before waiting for the turn: a server whose prompt waits behind
  // another server's is as much out of stop()'s reach.
  struct Scope {
    Server& server;
    explicit Scope(Server& s) : server(s) { set(true); }
    ~Scope() { set(false); }
    void set(bool value) {
      {
        std::lock_guard state(server.stateLock);
        server.inPrompt = value;
      }
      server.stateChanged.notify_all();
    }
  } scope(*this);
  std::lock_guard turn(prompts->turn);
  // Git has exited when the session ends: nobody would read the answer.
  if (hasBeenWoken()) return "error: the session is over\n";
  ++prompts->count;
  try {
    auto answer = prompts->prompter ? prompts->prompter(prompt) : std::nullopt;
    if (!answer) return "error: declined\n";
    std::string reply = "ok\n" + *answer;
    wipe(*answer);
    return reply;
  } catch (const std::exception& error) {
    return std::string("error: the credential provider failed: ") + error.what() + "\n";
  }
}

std::shared_ptr<GitSocketAuth> GitSocketAuth::create(Prompter prompter) {
  return std::make_shared<GitSocketAuth>(Passkey{}, std::move(prompter));
}

GitSocketAuth::GitSocketAuth(Passkey, Prompter prompter) : prompts_(std::make_shared<Prompts>()) {
  prompts_->prompter = std::move(prompter);
}

GitSocketAuth::~GitSocketAuth() {
  std::vector<std::shared_ptr<Server>> servers;
  {
    std::lock_guard lock(sessionLock_);
    servers = std::move(retired_);
    if (server_) servers.push_back(std::move(server_));
    sessions_ = 0;
  }
  // Inside a prompter this thread holds the turn another server may be
  // waiting for: joining would deadlock, and the threads own what they use.
  bool insidePrompter = std::any_of(servers.begin(), servers.end(), [](const std::shared_ptr<Server>& server) {
    return server->thread.get_id() == std::this_thread::get_id();
  });
  for (auto& server : servers) {
    server->wake();
    if (insidePrompter)
      server->thread.detach();
    else if (server->thread.joinable())
      server->thread.join();
  }
}

std::map<std::string, std::string> GitSocketAuth::credentialEnvironment() const {
  std::lock_guard lock(sessionLock_);
  if (!server_) return {};
  return {{kSocketVariable, server_->socketPath}, {kTokenVariable, server_->token}};
}

void GitSocketAuth::beginSession(const std::optional<Uuid>& accountUUID) {
  std::vector<std::shared_ptr<Server>> ended;
  {
    std::lock_guard lock(sessionLock_);
    if (sessions_ == 0) server_ = Server::start(prompts_);
    ++sessions_;
    accountUUID_ = accountUUID;
    auto firstEnded = std::partition(retired_.begin(), retired_.end(),
                                     [](const std::shared_ptr<Server>& server) { return !server->hasExited(); });
    ended.assign(std::make_move_iterator(firstEnded), std::make_move_iterator(retired_.end()));
    retired_.erase(firstEnded, retired_.end());
  }
  for (auto& server : ended) server->thread.join();
}

void GitSocketAuth::endSession() {
  std::shared_ptr<Server> ending;
  {
    std::lock_guard lock(sessionLock_);
    if (sessions_ == 0 || --sessions_ > 0) return;
    ending = std::move(server_);
  }
  if (ending->stop()) return;
  std::lock_guard lock(sessionLock_);
  retired_.push_back(std::move(ending));
}

std::optional<Uuid> GitSocketAuth::accountUUID() const {
  std::lock_guard lock(sessionLock_);
  return accountUUID_;
}

} // namespace tavrik
