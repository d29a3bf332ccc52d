// When the watcher refreshes, and what: changes gathered since the last
// refresh, due once nothing has changed for the quiet period or once changes
// have kept coming for the maximum delay (operations of the queue that run
// meanwhile push the quiet refresh back to that delay), and the periodic
// refresh of what is not watched. The clock is injected, so tests step time
// by hand.
//
// Not thread-safe: the watcher's core guards it with its mutex.
#pragma once

#include "tavrik/Operation/GitAspects.h"
#include "tavrik/Queue/GitRepositoryWatcher.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace tavrik::detail {

class RefreshSchedule {
public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  /// Uses `options`' quiet period, maximum delay and fallback interval.
  explicit RefreshSchedule(const GitRepositoryWatcherOptions& options, Now now = &Clock::now);

  /// A change that touches `aspects` happened now.
  void noteChange(GitAspects aspects);
  /// A working-tree file changed: it counts for status unless git ignores
  /// it, which is asked only when the refresh is due. Beyond a limit the
  /// check would cost more than it saves, and status is refreshed anyway.
  void noteCandidate(std::string path);

  void operationWillRun();
  void operationDidRun();

  /// A refresh of `aspects` is asked for now: what it covers is no longer
  /// pending.
  void covered(GitAspects aspects);

  /// From now on `aspects` are refreshed every fallback interval as well,
  /// the first time one interval from now.
  void poll(GitAspects aspects);

  /// How long until something is due; absent while nothing is pending and
  /// nothing is polled.
  std::optional<std::chrono::milliseconds> timeUntilDue() const;

  struct Due {
    GitAspects aspects;
    /// Changed working-tree files that count unless git ignores them.
    std::vector<std::string> candidates;
  };
  /// What is due now, cleared from the schedule; empty when nothing is.
  Due takeDue();

private:
  void touch();
  std::optional<Clock::time_point> changesDue() const;
  std::optional<Clock::time_point> dueTime() const;

  const GitRepositoryWatcherOptions options_;
  const Now now_;
  int activeRuns_ = 0;
  GitAspects pending_;
  std::unordered_set<std::string> candidates_;
  std::optional<Clock::time_point> firstChange_;
  Clock::time_point lastChange_;
  GitAspects polled_;
  Clock::time_point nextPoll_;
};

} // namespace tavrik::detail
