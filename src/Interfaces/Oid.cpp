#include "tavrik/Interfaces/Oid.h"

namespace arbor {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

} // namespace

std::optional<Oid> Oid::parse(std::string_view text) {
  if (text.size() != kHexSize) return std::nullopt;
  Oid oid;
  for (size_t i = 0; i < kSize; ++i) {
    int hi = hexDigit(text[2 * i]);
    int lo = hexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    oid.bytes_[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return oid;
}

bool Oid::isZero() const {
  for (auto b : bytes_)
    if (b != 0) return false;
  return true;
}

std::string Oid::string() const {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(kHexSize, '0');
  for (size_t i = 0; i < kSize; ++i) {
    out[2 * i] = kHex[bytes_[i] >> 4];
    out[2 * i + 1] = kHex[bytes_[i] & 0xF];
  }
  return out;
}

} // namespace arbor
