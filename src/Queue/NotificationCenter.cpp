#include "tavrik/Queue/NotificationCenter.h"

#include "tavrik/Util/Error.h"
#include "tavrik/Util/Log.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

namespace tavrik {

class NotificationCenter::Registration {
public:
  Registration(std::string name, const void* object, std::shared_ptr<OperationQueue> queue,
               std::function<void(const Notification&)> block)
      : name(std::move(name)), object(object), queue(std::move(queue)), block_(std::move(block)) {}

  bool matches(const Notification& n) const {
    return (name.empty() || name == n.name) && (object == nullptr || object == n.object);
  }

  void deliver(const Notification& n) {
    const auto self = std::this_thread::get_id();
    {
      std::lock_guard lock(mutex_);
      if (removed_) return;
      activeThreads_.push_back(self);
    }
    try {
      block_(n);
    } catch (...) {
      Log::defaultLog().error("notification: observer of %s threw: %s", n.name.c_str(),
                              localizedDescription(std::current_exception()).c_str());
    }
    {
      std::lock_guard lock(mutex_);
      activeThreads_.erase(std::find(activeThreads_.begin(), activeThreads_.end(), self));
    }
    idle_.notify_all();
  }

  void stop() {
    const auto self = std::this_thread::get_id();
    std::function<void(const Notification&)> block;
    {
      std::unique_lock lock(mutex_);
      removed_ = true;
      // Wait for calls on other threads; a call on this thread is the caller itself.
      idle_.wait(lock, [&] {
        return std::all_of(activeThreads_.begin(), activeThreads_.end(), [&](auto id) { return id == self; });
      });
      if (activeThreads_.empty()) block.swap(block_);
    }
    // `block` (and whatever it captured) is released here, outside the lock.
  }

  const std::string name;
  const void* const object;
  const std::shared_ptr<OperationQueue> queue;

private:
  std::mutex mutex_; // guards removed_, activeThreads_ and block_ (the object, not its calls)
  std::condition_variable idle_;
  bool removed_ = false;
  std::vector<std::thread::id> activeThreads_;
  std::function<void(const Notification&)> block_;
};

NotificationCenter::NotificationCenter() : observers_(std::make_shared<const List>()) {}

NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                         std::shared_ptr<OperationQueue> queue,
                                                         std::function<void(const Notification&)> block) {
  auto token = std::make_shared<Registration>(std::move(name), object, std::move(queue), std::move(block));
  std::lock_guard lock(mutex_);
  auto list = std::make_shared<List>(*observers_);
  list->push_back(token);
  observers_ = std::move(list);
  return token;
}

void NotificationCenter::removeObserver(const Token& token) {
  if (!token) return;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(observers_->begin(), observers_->end(), token);
    if (it != observers_->end()) {
      auto list = std::make_shared<List>();
      list->reserve(observers_->size() - 1);
      for (const auto& t : *observers_)
        if (t != token) list->push_back(t);
      observers_ = std::move(list);
    }
  }
  token->stop();
}

void NotificationCenter::post(Notification notification) {
  std::shared_ptr<const List> observers;
  {
    std::lock_guard lock(mutex_);
    observers = observers_;
  }
  std::shared_ptr<const Notification> shared; // made once, only if a queue needs it
  for (const auto& registration : *observers) {
    if (!registration->matches(notification)) continue;
    if (!registration->queue) {
      registration->deliver(notification);
      continue;
    }
    if (!shared) shared = std::make_shared<const Notification>(notification);
    registration->queue->addOperation([registration, shared] { registration->deliver(*shared); });
  }
}

size_t NotificationCenter::observerCount() const {
  std::lock_guard lock(mutex_);
  return observers_->size();
}

} // namespace tavrik
