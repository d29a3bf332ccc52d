// What the engine's own layer and its tests may do to a queue beyond the
// public API: write the cached view and post or commit change notices
// directly. Not installed: a client reads the view with `GitQueue::view()`,
// follows it with `addChangeObserver`, and the readers' records reach it
// through the run flow (`GitOperation::storesResultInView`).
#pragma once

#include "tavrik/Queue/GitQueue.h"

#include <functional>

namespace tavrik::detail {

struct GitQueueInternals {
  /// The only way the view is written: runs `block` on a copy under the view
  /// lock, stores it, and passes the aspects that really changed to the
  /// pending notifications and the observers. Returns the stored view.
  static GitView updateView(GitQueue& queue, const std::function<void(GitView&)>& block) {
    return queue.updateView(block);
  }
  /// Offers the aspects to the pending notifications; nothing when empty.
  static void commitNotificationsWith(GitQueue& queue, GitAspects aspects) { queue.commitNotificationsWith(aspects); }
  /// Posts gitQueueViewDidChangeNotification with the aspects; nothing when empty.
  static void notifyObservers(GitQueue& queue, GitAspects aspects) { queue.notifyObservers(aspects); }
};

} // namespace tavrik::detail
