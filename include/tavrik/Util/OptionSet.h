// The shape the engine's flag sets share (the aspects of a view, where a
// history search looks, how a walk orders commits): flags in one unsigned
// integer, with set operations. A set derives from it, naming itself, and
// defines its flags as constants of its own type:
//
//   struct Colour : OptionSet<Colour> {
//     using OptionSet::OptionSet;
//     static const Colour red, green;
//   };
//   inline constexpr Colour Colour::red{1};
//   ...
//   Colour both{Colour::red, Colour::green};
//   both.contains(Colour::red);  // true
#pragma once

#include <cstdint>
#include <initializer_list>

namespace tavrik {

template <class Self, class Raw = uint32_t> struct OptionSet {
  Raw rawValue = 0;

  constexpr OptionSet() = default;
  constexpr explicit OptionSet(Raw raw) : rawValue(raw) {}
  /// The union of `list`.
  constexpr OptionSet(std::initializer_list<Self> list) {
    for (auto set : list) rawValue |= set.rawValue;
  }

  constexpr bool isEmpty() const { return rawValue == 0; }
  /// Every flag of `other` is in this set.
  constexpr bool contains(Self other) const { return (rawValue & other.rawValue) == other.rawValue; }
  /// The two sets share at least one flag.
  constexpr bool containsAny(Self other) const { return (rawValue & other.rawValue) != 0; }
  constexpr bool isSubset(Self of) const { return of.contains(self()); }
  constexpr bool isSuperset(Self of) const { return contains(of); }

  constexpr Self unionWith(Self o) const { return Self(rawValue | o.rawValue); }
  constexpr Self intersection(Self o) const { return Self(rawValue & o.rawValue); }
  constexpr Self symmetricDifference(Self o) const { return Self(rawValue ^ o.rawValue); }
  constexpr Self subtracting(Self o) const { return Self(rawValue & ~o.rawValue); }
  constexpr void insert(Self o) { rawValue |= o.rawValue; }
  constexpr void remove(Self o) { rawValue &= ~o.rawValue; }
  constexpr void formUnion(Self o) { rawValue |= o.rawValue; }
  constexpr void subtract(Self o) { rawValue &= ~o.rawValue; }

  constexpr Self operator|(Self o) const { return unionWith(o); }
  constexpr Self operator&(Self o) const { return intersection(o); }
  constexpr Self& operator|=(Self o) {
    rawValue |= o.rawValue;
    return static_cast<Self&>(*this);
  }

  constexpr bool operator==(const OptionSet&) const = default;

private:
  constexpr Self self() const { return Self(rawValue); }
};

} // namespace tavrik
