// Universally unique identifiers (libuuid), printed in upper-case canonical
// form as desktop platforms print them.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

class Uuid {
public:
  /// The nil UUID (all zero).
  Uuid() = default;
  /// A new random (version 4) UUID.
  static Uuid random();
  /// Parses the canonical 8-4-4-4-12 hexadecimal form, either case; nullopt otherwise.
  static std::optional<Uuid> parse(std::string_view text);

  /// Upper-case canonical text, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  std::string uuidString() const;
  const std::array<unsigned char, 16>& bytes() const { return bytes_; }

  auto operator<=>(const Uuid&) const = default;
  bool operator==(const Uuid&) const = default;

private:
  std::array<unsigned char, 16> bytes_{};
};

} // namespace tavrik

template <> struct std::hash<tavrik::Uuid> {
  size_t operator()(const tavrik::Uuid& u) const noexcept {
    uint64_t a = 0, b = 0;
    for (int i = 0; i < 8; ++i) a = (a << 8) | u.bytes()[i];
    for (int i = 8; i < 16; ++i) b = (b << 8) | u.bytes()[i];
    return std::hash<uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
  }
};
