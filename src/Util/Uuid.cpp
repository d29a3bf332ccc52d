#include "tavrik/Util/Uuid.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <sys/random.h>
#include <uuid/uuid.h>

namespace tavrik {

Uuid Uuid::random() {
  // uuid_generate_random makes several system calls per UUID (it re-checks
  // the process and user ids each time), and every operation takes one. Draw
  // from a per-thread pool of kernel randomness instead, refilled in bulk.
  thread_local std::array<unsigned char, 4096> pool;
  thread_local size_t used = pool.size();
  Uuid u;
  if (used + 16 > pool.size()) {
    size_t filled = 0;
    while (filled < pool.size()) {
      ssize_t n = getrandom(pool.data() + filled, pool.size() - filled, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
    if (filled < pool.size()) {
      uuid_generate_random(u.bytes_.data()); // no getrandom: libuuid finds its own source
      return u;
    }
    used = 0;
  }
  std::memcpy(u.bytes_.data(), pool.data() + used, 16);
  used += 16;
  u.bytes_[6] = static_cast<unsigned char>((u.bytes_[6] & 0x0F) | 0x40); // version 4
  u.bytes_[8] = static_cast<unsigned char>((u.bytes_[8] & 0x3F) | 0x80); // RFC 4122 variant
  return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  // uuid_parse wants a NUL-terminated string of exactly 36 characters.
  if (text.size() != 36) return std::nullopt;
  char buf[37];
  for (size_t i = 0; i < 36; ++i) {
    if (text[i] == '\0') return std::nullopt;
    buf[i] = text[i];
  }
  buf[36] = '\0';
  Uuid u;
  if (uuid_parse(buf, u.bytes_.data()) != 0) return std::nullopt;
  return u;
}

std::string Uuid::uuidString() const {
  char buf[37];
  uuid_unparse_upper(bytes_.data(), buf);
  return std::string(buf, 36);
}

} // namespace tavrik
