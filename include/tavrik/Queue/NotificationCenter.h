// A notification centre: observers register a block for a notification name
// and an object, and every matching `post` calls the block, either on the
// posting thread or as an operation on an `OperationQueue` of the observer's
// choice. Each `GitQueue` owns a private one.
//
// Registration returns a token. Removing it is explicit, safe from any
// thread and final: once `removeObserver` returns, the block is not running
// on another thread and will not be called again (a block that removes its
// own registration returns normally; the removal does not wait for itself).
#pragma once

#include "tavrik/Queue/OperationQueue.h"

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavrik {

/// Extra information carried by a notification, by key.
using NotificationUserInfo = std::map<std::string, std::any>;

struct Notification {
  std::string name;
  /// The object the notification is about; compared by identity only.
  const void* object = nullptr;
  NotificationUserInfo userInfo;
};

class NotificationCenter {
public:
  class Registration;
  /// Keeps nothing alive but the registration record; pass it to `removeObserver`.
  using Token = std::shared_ptr<Registration>;

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  /// Calls `block` for every notification posted with `name` (any name when
  /// empty) and `object` (any object when null). With a `queue`, each call
  /// is an operation added to it; without, the call happens on the posting
  /// thread, outside the centre's lock.
  Token addObserver(std::string name, const void* object, std::shared_ptr<OperationQueue> queue,
                    std::function<void(const Notification&)> block);
  /// Stops the registration (see the header comment). Unknown or already
  /// removed tokens are ignored.
  void removeObserver(const Token& token);

  /// Delivers `notification` to every matching observer.
  void post(Notification notification);
  /// Number of live registrations.
  size_t observerCount() const;

private:
  using List = std::vector<Token>;

  mutable std::mutex mutex_; // guards observers_ (the pointer, not the immutable list)
  // Copy-on-write, so that a post takes a reference instead of copying.
  std::shared_ptr<const List> observers_;
};

} // namespace tavrik
