// The value that links chained operations: a result together with the queue
// it was produced on, so that the next operation can run on the same queue.
#pragma once

#include "tavrik/Interfaces/Future.h"

#include <memory>
#include <type_traits>

namespace tavrik {

class GitQueue;

template <class T> struct GitQueueValue {
  std::shared_ptr<GitQueue> queue;
  T value;

  /// The same queue with `block(value)`.
  template <class F> auto map(F&& block) const -> GitQueueValue<std::invoke_result_t<F, const T&>> {
    return {queue, std::forward<F>(block)(value)};
  }
  /// The same queue with no value.
  GitQueueValue<pledge::Void> toVoid() const { return {queue, pledge::Void{}}; }
};

} // namespace tavrik
