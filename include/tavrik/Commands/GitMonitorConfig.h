// The opt-in that makes the user's own git, in a terminal, ask a running
// client's watcher what changed: `enable` points `core.fsmonitor` of the
// repository's local configuration at the prefix's `bin/fsmonitor` (with
// `core.fsmonitorHookVersion=2`), which answers "/" (check everything) at
// once when no client serves the working tree, so git without a client
// behaves as before, only without the monitor's speed. `disable` puts back
// what was there: every earlier value of both keys, or none. The earlier
// values are kept in the git directory (`tavrik-monitor`) until then.
//
//   makeOperation<GitMonitorConfigOperation>(GitMonitorConfigChange::enable)->enqueue(queue);
#pragma once

#include "tavrik/Operation/GitOperation.h"

namespace tavrik {

enum class GitMonitorConfigChange { enable, disable };

/// Enables or disables the opt-in for the queue's repository. Runs git
/// config on the queue's worker and reports the config aspect.
class GitMonitorConfigOperation : public GitOperation<pledge::Void> {
public:
  explicit GitMonitorConfigOperation(GitMonitorConfigChange change) : change(change) {}
  const GitMonitorConfigChange change;

  /// Enabling again keeps the values saved the first time. Throws
  /// TavrikError when disabling what is not enabled, when the queue has no
  /// prefix with the companion, or when git's configuration cannot be
  /// written (its lock taken by another git); GitStdError from git.
  pledge::Void execute(GitOperationContext& context) override;
};

} // namespace tavrik
