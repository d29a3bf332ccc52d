// Credentials for git's conversations with remotes. The engine never sees a
// password: around each authenticated run it tells the provider which service
// account the remote is bound to (`beginSession`), adds the provider's
// variables to git's environment, and says when the run is over
// (`endSession`). Git asks the askpass companion (`bin/askpass`) for what it
// needs, and the companion asks the provider through those variables.
#pragma once

#include "tavrik/Process/GitChildSession.h"
#include "tavrik/Util/Uuid.h"

#include <map>
#include <optional>
#include <string>

namespace tavrik {

class GitAuth : public GitChildSession {
public:

  /// Variables to add to git's environment for the session that runs.
  virtual std::map<std::string, std::string> credentialEnvironment() const = 0;
  /// Called before git runs with the remote's service account, if it has
  /// one. Throwing refuses the run: git is not started and `endSession` is
  /// not called.
  virtual void beginSession(const std::optional<Uuid>& accountUUID) = 0;
  /// Called after git has exited, whether it succeeded or failed.
  virtual void endSession() = 0;

  /// The provider's variables and end, as the runner sees them.
  std::map<std::string, std::string> sessionEnvironment() const final { return credentialEnvironment(); }
  void finishSession() final { endSession(); }
};

} // namespace tavrik
