// Weak references for clients that keep lists of observers or delegates:
// `GitWeakBox` holds one object weakly, `GitWeakArray` a thread-safe list of
// them. The queue itself does not use them.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace tavrik {

template <class T> struct GitWeakBox {
  std::weak_ptr<T> value;
};

template <class T> class GitWeakArray {
public:
  void append(const std::shared_ptr<T>& value) {
    std::lock_guard guard(lock);
    boxes.push_back(GitWeakBox<T>{value});
  }
  /// Removes the boxes whose object is gone.
  void compact() {
    std::lock_guard guard(lock);
    std::erase_if(boxes, [](const GitWeakBox<T>& box) { return box.value.expired(); });
  }
  /// Removes every box holding that very object.
  void removeAll(const std::shared_ptr<T>& value) {
    std::lock_guard guard(lock);
    std::erase_if(boxes, [&](const GitWeakBox<T>& box) {
      return !box.value.owner_before(value) && !value.owner_before(box.value) && !box.value.expired();
    });
  }
  /// The box at `index` (a copy). Throws std::out_of_range past the end.
  GitWeakBox<T> operator[](size_t index) const {
    std::lock_guard guard(lock);
    return boxes.at(index);
  }
  size_t size() const {
    std::lock_guard guard(lock);
    return boxes.size();
  }
  /// The live objects, in order.
  std::vector<std::shared_ptr<T>> compactValues() const {
    std::lock_guard guard(lock);
    std::vector<std::shared_ptr<T>> values;
    values.reserve(boxes.size());
    for (const auto& box : boxes)
      if (auto v = box.value.lock()) values.push_back(std::move(v));
    return values;
  }

private:
  mutable std::mutex lock; // guards boxes
  std::vector<GitWeakBox<T>> boxes;
};

} // namespace tavrik
