// What an operation whose git runs may sign a commit or a tag offers its
// client: the bridge that answers the signing tools' passphrase prompts.
// Every git-running operation has it (`GitExecRunner`), and so has each
// operation that makes commits through git runs of its own (fixup, move,
// split, the compound actions), which hands it on to every one of those
// runs. A client that answers prompts sets it on whatever it enqueues:
//
//   if (auto signing = std::dynamic_pointer_cast<GitSigningPrompts>(operation)) signing->signingAuth = bridge;
#pragma once

#include "tavrik/Process/GitAuth.h"

#include <memory>

namespace tavrik {

class GitSigningPrompts {
public:
  virtual ~GitSigningPrompts() = default;

  /// Set (before enqueueing) by a client that answers the passphrase
  /// prompts of signing tools for this operation's runs: ssh-keygen asks
  /// through the askpass companion, gpg through the pinentry companion
  /// (`bin/pinentry`, once the user's gpg-agent is pointed at it), and both
  /// reach this bridge. A session is open around each run. Null: nobody can
  /// answer, and a key that needs a passphrase fails the signature
  /// (GitStdError, kind `signingFailed`), leaving nothing half-made.
  std::shared_ptr<GitAuth> signingAuth;
};

} // namespace tavrik
