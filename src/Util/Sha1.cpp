#include "Util/Sha1.h"

#include <cstring>

namespace tavrik::detail {

namespace {
inline uint32_t rotate(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }
} // namespace

void Sha1::block(const unsigned char* data) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = uint32_t(data[4 * i]) << 24 | uint32_t(data[4 * i + 1]) << 16 | uint32_t(data[4 * i + 2]) << 8 |
           uint32_t(data[4 * i + 3]);
  for (int i = 16; i < 80; ++i) w[i] = rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    uint32_t next = rotate(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotate(b, 30);
    b = a;
    a = next;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
}

void Sha1::update(std::string_view bytes) {
  auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t size = bytes.size();
  length_ += size;
  if (buffered_) {
    size_t take = std::min(size, sizeof buffer_ - buffered_);
    std::memcpy(buffer_ + buffered_, data, take);
    buffered_ += take;
    data += take;
    size -= take;
    if (buffered_ < sizeof buffer_) return;
    block(buffer_);
    buffered_ = 0;
  }
  for (; size >= 64; data += 64, size -= 64) block(data);
  std::memcpy(buffer_, data, size);
  buffered_ = size;
}

std::array<unsigned char, 20> Sha1::finish() {
  const uint64_t bits = length_ * 8;
  unsigned char padding[72] = {0x80};
  size_t padded = (buffered_ < 56 ? 56 : 120) - buffered_;
  for (int i = 0; i < 8; ++i) padding[padded + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  update(std::string_view(reinterpret_cast<const char*>(padding), padded + 8));
  std::array<unsigned char, 20> digest;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(state_[i] >> (24 - 8 * j));
  return digest;
}

} // namespace tavrik::detail
