// The base of the operations that talk to a remote (fetch, pull, push, clone,
// submodule add). Around each run it opens a session with the client's
// credential provider (`GitAuth`) for the remote's service account (the
// `account` the client gave), gives git the provider's variables, and ends
// the session whatever happened; a failure names the remote in its user info.
//
//   auto fetch = makeOperation<GitExecFetchOperation>({.remote = "origin", .auth = auth});
//   fetch->account = GitRemoteAccount{"origin", accountUuid};
//   fetch->enqueue(queue);  // git's prompts reach `auth`, never the engine
//
// `enqueueWithViewAccount` (Commands/RemoteCommands.h) fills `account` from
// the queue's view.
#pragma once

#include "tavrik/Process/GitAuth.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Operation/GitAspects.h"
#include "tavrik/Util/Uuid.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// A remote and the client's service account bound to it, if any: what a
/// credential session is opened for.
struct GitRemoteAccount {
  std::string remoteName;
  std::optional<Uuid> uuid;
  bool operator==(const GitRemoteAccount&) const = default;
};

namespace detail {
/// `base` with the provider's variables added (they win), and git and ssh
/// told to ask the askpass companion rather than a terminal.
std::map<std::string, std::string> authenticatedEnvironment(std::map<std::string, std::string> base,
                                                            const GitAuth* auth);
/// begin, run, end: `run` is not called when `beginSession` throws, and
/// `endSession` is called exactly once after it otherwise.
void runInSession(GitAuth* auth, const std::optional<Uuid>& account, const std::function<void()>& run);
} // namespace detail

template <class T> class GitExecAuthenticatedOperation : public GitExecOperation<T> {
public:
  using RemoteAccount = GitRemoteAccount;

  /// `auth` may be null: git then asks the askpass companion with no
  /// provider behind it, which declines.
  GitExecAuthenticatedOperation(std::optional<std::string> remote, bool push, std::shared_ptr<GitAuth> auth,
                                std::optional<GitRemoteAccount> account = std::nullopt)
      : remote(std::move(remote)), push(push), auth(std::move(auth)), account(std::move(account)) {}

  /// The remote named by the client; set before the operation is enqueued.
  std::optional<std::string> remote;
  /// True for operations that send to the remote.
  const bool push;
  const std::shared_ptr<GitAuth> auth;
  /// The account the session is opened for; set before the operation is
  /// enqueued. Without one, the run uses the remote it talks to (else
  /// "origin") with no service account.
  std::optional<RemoteAccount> account;

  /// The account the last run used; nullopt before.
  std::optional<RemoteAccount> remoteAccount() const {
    std::lock_guard lock(accountLock_);
    return remoteAccount_;
  }

  /// What a successful run may have changed.
  virtual GitAspects aspects() const = 0;
  /// Refuses input git would misread, before anything runs. Base: nothing.
  virtual void validate(GitOperationContext&) {}
  /// A transfer that changes nothing (a listing of the remote) is a read.
  GitExecAccess access() const override { return aspects().isEmpty() ? GitExecAccess::read : GitExecAccess::write; }
  /// Always: ssh may ask, even on a read.
  bool needsOwnSession() const override { return true; }

  std::map<std::string, std::string> environment(GitOperationContext& context) override {
    return detail::authenticatedEnvironment(GitExecRunner::environment(context), auth.get());
  }

  /// The base check; a `GitStdError` is thrown again with "remoteName" in
  /// its user info once the account is known.
  void checkStatus(int status, const std::optional<std::string>& text) override {
    try {
      GitExecRunner::checkStatus(status, text);
    } catch (const GitStdError& error) {
      auto account = remoteAccount();
      if (!account) throw;
      throw error.attach({{std::string(rawValue(GitStdErrorUserInfoKey::remoteName)), account->remoteName}});
    }
  }

protected:
  /// The remote the run talks to, named when no `account` is given; base: `remote`.
  virtual std::optional<std::string> accountRemote() const { return remote; }

  /// Settles the account, then runs git inside a session of `auth`.
  void runAuthenticated(GitOperationContext& context) {
    auto used = account ? *account : RemoteAccount{accountRemote().value_or("origin"), std::nullopt};
    {
      std::lock_guard lock(accountLock_);
      remoteAccount_ = used;
    }
    detail::runInSession(auth.get(), used.uuid, [&] { this->runCommand(context); });
  }

  /// validate, the authenticated run, report the aspects.
  void runAndReport(GitOperationContext& context) {
    validate(context);
    runAuthenticated(context);
    context.updatedAspects.formUnion(aspects());
  }

private:
  mutable std::mutex accountLock_; // guards remoteAccount_
  std::optional<RemoteAccount> remoteAccount_;
};

} // namespace tavrik
