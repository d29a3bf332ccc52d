// Git object ids: 20 bytes, written as 40 lower-case hexadecimal digits.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace arbor {

class Oid {
public:
  static constexpr size_t kSize = 20;
  static constexpr size_t kHexSize = 40;

  /// The all-zero id.
  constexpr Oid() = default;
  explicit Oid(const std::array<unsigned char, kSize>& bytes) : bytes_(bytes) {}

  /// The id written as exactly 40 hexadecimal digits (either case); nullopt
  /// for any other text. The all-zero id is a valid id.
  static std::optional<Oid> parse(std::string_view text);
  static Oid fromRaw(const unsigned char* raw) {
    Oid o;
    std::memcpy(o.bytes_.data(), raw, kSize);
    return o;
  }
  static const Oid zero;

  bool isZero() const;
  /// 40 lower-case hexadecimal digits.
  std::string string() const;
  /// The same digits written to `out[0..39]`, for writers that keep a
  /// buffer of their own.
  void writeHex(char* out) const;
  std::string debugDescription() const { return string(); }
  const std::array<unsigned char, kSize>& bytes() const { return bytes_; }
  const unsigned char* raw() const { return bytes_.data(); }

  auto operator<=>(const Oid&) const = default;
  bool operator==(const Oid&) const = default;

private:
  std::array<unsigned char, kSize> bytes_{};
};

inline const Oid Oid::zero{};

/// A pair of ids, e.g. the commits a diff tool compares.
struct OidRange {
  Oid from;
  Oid to;
  bool operator==(const OidRange&) const = default;
};

} // namespace arbor

namespace tavrik {
using arbor::Oid;
using arbor::OidRange;
} // namespace tavrik

template <> struct std::hash<arbor::Oid> {
  size_t operator()(const arbor::Oid& oid) const noexcept {
    // Object ids are already uniformly distributed.
    size_t h;
    std::memcpy(&h, oid.raw(), sizeof h);
    return h;
  }
};

template <> struct std::hash<arbor::OidRange> {
  size_t operator()(const arbor::OidRange& r) const noexcept {
    return std::hash<arbor::Oid>{}(r.from) * 31 ^ std::hash<arbor::Oid>{}(r.to);
  }
};
