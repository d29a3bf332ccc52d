// Combining hashes of a record's fields, for the std::hash specialisations of
// the value records. Equal values must give equal hashes; nothing more is
// promised (the mix is not stable across builds).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace tavrik::detail {

inline size_t hashMix(size_t seed, size_t value) noexcept {
  // boost::hash_combine's golden-ratio mix, widened for 64-bit size_t.
  return seed ^ (value + 0x9E3779B97F4A7C15ull + (seed << 6) + (seed >> 2));
}

template <class T> size_t hashOf(const T& value) noexcept;

template <class T> struct HashOf {
  size_t operator()(const T& v) const noexcept { return std::hash<T>{}(v); }
};
template <> struct HashOf<double> {
  // 0.0 and -0.0 compare equal, so they must hash alike.
  size_t operator()(double v) const noexcept { return std::hash<double>{}(v == 0.0 ? 0.0 : v); }
};
template <class T> struct HashOf<std::optional<T>> {
  size_t operator()(const std::optional<T>& v) const noexcept {
    return v ? hashMix(0x51ED27, hashOf(*v)) : 0x6A09E667;
  }
};
template <class T> struct HashOf<std::vector<T>> {
  size_t operator()(const std::vector<T>& v) const noexcept {
    size_t seed = v.size();
    for (const auto& e : v) seed = hashMix(seed, hashOf(e));
    return seed;
  }
};
template <class T> struct HashOf<std::set<T>> {
  size_t operator()(const std::set<T>& v) const noexcept {
    size_t seed = v.size();
    for (const auto& e : v) seed = hashMix(seed, hashOf(e));
    return seed;
  }
};
template <class K, class V> struct HashOf<std::map<K, V>> {
  size_t operator()(const std::map<K, V>& m) const noexcept {
    size_t seed = m.size();
    for (const auto& [k, v] : m) seed = hashMix(hashMix(seed, hashOf(k)), hashOf(v));
    return seed;
  }
};
template <class C, class D> struct HashOf<std::chrono::time_point<C, D>> {
  size_t operator()(const std::chrono::time_point<C, D>& t) const noexcept {
    return std::hash<typename D::rep>{}(t.time_since_epoch().count());
  }
};

template <class T> size_t hashOf(const T& value) noexcept { return HashOf<T>{}(value); }

/// Hash of several fields in order.
template <class... Ts> size_t hashFields(const Ts&... fields) noexcept {
  size_t seed = 0;
  ((seed = hashMix(seed, hashOf(fields))), ...);
  return seed;
}

} // namespace tavrik::detail
