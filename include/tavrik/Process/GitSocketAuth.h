// A `GitAuth` that clients can use as it is: it answers git's credential
// prompts ("Username for 'https://host': ", "Password for ...", ssh's
// passphrase questions) by asking the client. While a session is open it
// owns a Unix-domain socket in a private folder (mode 0700) and a one-time
// token, and answers the askpass companion (`bin/askpass`), which git runs
// for every prompt. Each prompt goes to the client's prompter, one at a
// time, and its answer goes back to git through the companion's standard
// output only: neither git's environment nor the engine keeps it. Only the
// real user's connections that bring the token are served.
//
//   auto auth = GitSocketAuth::create([](const std::string& prompt) {
//     return askTheUser(prompt); // nullopt declines
//   });
//   auth->beginSession(account); // the engine does this around each run
//   ... git runs with auth->credentialEnvironment() ...
//   auth->endSession();
#pragma once

#include "tavrik/Process/GitAuth.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

class GitSocketAuth : public GitAuth {
  struct Passkey {};

public:
  /// The variables the companion program reads.
  static constexpr const char* kSocketVariable = "TAVRIK_ASKPASS_SOCKET";
  static constexpr const char* kTokenVariable = "TAVRIK_ASKPASS_TOKEN";

  /// Returns the answer to git's prompt, or nullopt to decline (git then
  /// fails to authenticate). Called on the bridge's own thread, one prompt at
  /// a time, with no lock that the members take held: it may call any member,
  /// `endSession` included.
  using Prompter = std::function<std::optional<std::string>(const std::string& prompt)>;

  static std::shared_ptr<GitSocketAuth> create(Prompter prompter);

  GitSocketAuth(Passkey, Prompter prompter);
  /// Ends every session. Waits for a prompt in progress to be answered,
  /// unless it runs inside the prompter (then the prompts go on without it).
  ~GitSocketAuth() override;
  GitSocketAuth(const GitSocketAuth&) = delete;
  GitSocketAuth& operator=(const GitSocketAuth&) = delete;

  /// The socket's path and the token while a session is open; empty otherwise.
  std::map<std::string, std::string> credentialEnvironment() const override;
  /// Opens the socket and starts serving when no session is open yet;
  /// sessions may overlap and share it. Remembers `accountUUID`. Throws
  /// TavrikError when the folder, the socket or the token cannot be made.
  void beginSession(const std::optional<Uuid>& accountUUID) override;
  /// Ends one session; the last one stops serving, closes the socket and
  /// removes its folder. Harmless without a session, from any thread. A
  /// prompt in progress is still answered: then the socket goes once it is,
  /// without this call waiting for it. Prompts that arrive later are refused.
  void endSession() override;

  /// The account of the latest session begun, for the prompter.
  std::optional<Uuid> accountUUID() const;
  /// How many prompts have reached the prompter.
  size_t promptCount() const { return prompts_->count.load(); }

private:
  // What the server threads share with the bridge; they own it too, so a
  // prompter that drops the last reference to the bridge cannot pull it
  // from under them.
  struct Prompts {
    Prompter prompter;
    std::mutex turn; // held across one prompter call and taken by nothing else
    std::atomic<size_t> count{0};
  };
  // One socket, token and thread, from a first beginSession to the last endSession.
  struct Server;

  const std::shared_ptr<Prompts> prompts_;
  // Lock order: sessionLock_ before a server's own lock; the turn is never
  // taken while holding either.
  mutable std::mutex sessionLock_; // guards sessions_, accountUUID_, server_ and retired_
  int sessions_ = 0;
  std::optional<Uuid> accountUUID_;
  std::shared_ptr<Server> server_; // set while sessions_ > 0
  // Stopped while in a prompt: their threads end once it is answered.
  std::vector<std::shared_ptr<Server>> retired_;
};

} // namespace tavrik
