// A party that a git child talks to while it runs, through variables in its
// environment: the rebase editor bridge (`GitEditor`) and the askpass bridge
// (`GitAuth`) are both one. The runner merges the session's variables into
// the child's environment and finishes the session when the run ends, so it
// needs to know neither bridge.
#pragma once

#include <map>
#include <string>

namespace tavrik {

class GitChildSession {
public:
  virtual ~GitChildSession() = default;

  /// Variables merged into git's environment for one run (replacing
  /// variables of the same name). Called on the operation's worker thread.
  virtual std::map<std::string, std::string> sessionEnvironment() const = 0;

  /// Called when a run with this session ends, however it ends; for a
  /// session the runner holds, also when the operation is cancelled (on the
  /// cancelling thread), so possibly twice and from two threads.
  virtual void finishSession() = 0;
};

} // namespace tavrik
