#include "tavrik/Interfaces/Oid.h"

#include <array>
#include <cstring>

namespace arbor {
namespace {

// Digit values, 0xFF for bytes that are no hexadecimal digit. A table keeps
// the status and reference parsers (several ids per line) off a branchy path.
constexpr auto kHexValues = [] {
  std::array<unsigned char, 256> table{};
  table.fill(0xFF);
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
  return table;
}();

} // namespace

std::optional<Oid> Oid::parse(std::string_view text) {
  if (text.size() != kHexSize) return std::nullopt;
  Oid oid;
  unsigned char invalid = 0;
  for (size_t i = 0; i < kSize; ++i) {
    unsigned char hi = kHexValues[static_cast<unsigned char>(text[2 * i])];
    unsigned char lo = kHexValues[static_cast<unsigned char>(text[2 * i + 1])];
    invalid |= (hi | lo) & 0xF0;
    oid.bytes_[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  if (invalid) return std::nullopt;
  return oid;
}

bool Oid::isZero() const {
  for (auto b : bytes_)
    if (b != 0) return false;
  return true;
}

void Oid::writeHex(char* out) const {
  // Both digits of a byte from one table entry: lists write several ids a
  // record.
  static constexpr auto kPairs = [] {
    constexpr char kHex[] = "0123456789abcdef";
    std::array<char, 512> table{};
    for (int b = 0; b < 256; ++b) table[2 * b] = kHex[b >> 4], table[2 * b + 1] = kHex[b & 0xF];
    return table;
  }();
  for (size_t i = 0; i < kSize; ++i) std::memcpy(out + 2 * i, kPairs.data() + 2 * bytes_[i], 2);
}

std::string Oid::string() const {
  std::string out(kHexSize, '0');
  writeHex(out.data());
  return out;
}

} // namespace arbor
