// An optional immutable value held through a shared pointer, for the large
// parts of a value record that are copied far more often than they change
// (the cached view's status list is copied into every view store, result and
// waiter). Reads like std::optional; copying shares the one value instead of
// copying it, which is safe because nobody can change it. Equality goes by
// value, with a fast path when both sides share the same value.
#pragma once

#include "tavrik/Util/HashCombine.h"

#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace tavrik {

template <class T> class SharedValue {
public:
  using value_type = T;

  SharedValue() = default;
  SharedValue(std::nullopt_t) {}
  /// Takes the value over (moved in, never copied again).
  SharedValue(T&& value) : value_(std::make_shared<const T>(std::move(value))) {}
  SharedValue(const T& value) : value_(std::make_shared<const T>(value)) {}
  /// Shares an existing value; a null pointer is no value.
  explicit SharedValue(std::shared_ptr<const T> value) : value_(std::move(value)) {}

  SharedValue& operator=(std::nullopt_t) {
    value_.reset();
    return *this;
  }
  SharedValue& operator=(T&& value) {
    value_ = std::make_shared<const T>(std::move(value));
    return *this;
  }
  SharedValue& operator=(const T& value) {
    value_ = std::make_shared<const T>(value);
    return *this;
  }

  bool has_value() const noexcept { return value_ != nullptr; }
  explicit operator bool() const noexcept { return has_value(); }
  /// Undefined without a value, as for std::optional.
  const T& operator*() const noexcept { return *value_; }
  const T* operator->() const noexcept { return value_.get(); }
  /// Throws std::bad_optional_access without a value.
  const T& value() const {
    if (!value_) throw std::bad_optional_access();
    return *value_;
  }
  T value_or(T fallback) const { return value_ ? *value_ : std::move(fallback); }
  void reset() noexcept { value_.reset(); }

  /// The shared value itself (null without one).
  const std::shared_ptr<const T>& shared() const noexcept { return value_; }

  friend bool operator==(const SharedValue& a, const SharedValue& b) {
    if (a.value_ == b.value_) return true;
    if (!a.value_ || !b.value_) return false;
    return *a.value_ == *b.value_;
  }
  friend bool operator==(const SharedValue& a, const T& b) { return a.value_ && *a.value_ == b; }
  friend bool operator==(const SharedValue& a, std::nullopt_t) noexcept { return !a.value_; }

private:
  std::shared_ptr<const T> value_;
};

namespace detail {
// Hashes like the std::optional it stands in for.
template <class T> struct HashOf<SharedValue<T>> {
  size_t operator()(const SharedValue<T>& v) const noexcept {
    return v ? hashMix(0x51ED27, hashOf(*v)) : 0x6A09E667;
  }
};
} // namespace detail

} // namespace tavrik

template <class T> struct std::hash<tavrik::SharedValue<T>> {
  size_t operator()(const tavrik::SharedValue<T>& v) const noexcept { return tavrik::detail::hashOf(v); }
};
