// The aspects of a repository that an operation may change and that the
// queue's cached view refreshes: a 32-bit set.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

namespace tavrik {

struct GitAspects {
  uint32_t rawValue = 0;

  constexpr GitAspects() = default;
  constexpr explicit GitAspects(uint32_t raw) : rawValue(raw) {}
  constexpr GitAspects(std::initializer_list<GitAspects> list) {
    for (auto a : list) rawValue |= a.rawValue;
  }

  static const GitAspects head, status, refs, logDescriptor, stashes, stateFiles, queueTasks, config, submodules,
      reflogs, all;

  constexpr bool isEmpty() const { return rawValue == 0; }
  /// Every bit of `other` is in this set.
  constexpr bool contains(GitAspects other) const { return (rawValue & other.rawValue) == other.rawValue; }
  /// The two sets share at least one bit.
  constexpr bool containsAny(GitAspects other) const { return (rawValue & other.rawValue) != 0; }
  constexpr bool isSubset(GitAspects of) const { return of.contains(*this); }
  constexpr bool isSuperset(GitAspects of) const { return contains(of); }

  constexpr GitAspects unionWith(GitAspects o) const { return GitAspects(rawValue | o.rawValue); }
  constexpr GitAspects intersection(GitAspects o) const { return GitAspects(rawValue & o.rawValue); }
  constexpr GitAspects symmetricDifference(GitAspects o) const { return GitAspects(rawValue ^ o.rawValue); }
  constexpr GitAspects subtracting(GitAspects o) const { return GitAspects(rawValue & ~o.rawValue); }
  constexpr void insert(GitAspects o) { rawValue |= o.rawValue; }
  constexpr void remove(GitAspects o) { rawValue &= ~o.rawValue; }
  constexpr void formUnion(GitAspects o) { rawValue |= o.rawValue; }
  constexpr void subtract(GitAspects o) { rawValue &= ~o.rawValue; }

  constexpr GitAspects operator|(GitAspects o) const { return unionWith(o); }
  constexpr GitAspects operator&(GitAspects o) const { return intersection(o); }
  constexpr GitAspects& operator|=(GitAspects o) {
    rawValue |= o.rawValue;
    return *this;
  }

  /// "<GitAspects head, status>": the names of all, head, status, refs,
  /// logDescriptor, stashes, stateFiles, queueTasks and config whose bits are
  /// all present (submodules and reflogs have no name here).
  std::string debugDescription() const;

  constexpr bool operator==(const GitAspects&) const = default;
};

inline constexpr GitAspects GitAspects::head{0x1};
inline constexpr GitAspects GitAspects::status{0x2};
inline constexpr GitAspects GitAspects::refs{0x4};
inline constexpr GitAspects GitAspects::logDescriptor{0x8};
inline constexpr GitAspects GitAspects::stashes{0x10};
inline constexpr GitAspects GitAspects::stateFiles{0x20};
inline constexpr GitAspects GitAspects::queueTasks{0x40};
inline constexpr GitAspects GitAspects::config{0x80};
inline constexpr GitAspects GitAspects::submodules{0x100};
inline constexpr GitAspects GitAspects::reflogs{0x200};
inline constexpr GitAspects GitAspects::all{0xFFFFFFFF};

} // namespace tavrik

template <> struct std::hash<tavrik::GitAspects> {
  size_t operator()(tavrik::GitAspects a) const noexcept { return std::hash<uint32_t>{}(a.rawValue); }
};
