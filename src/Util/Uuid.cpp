#include "tavrik/Util/Uuid.h"

#include <cctype>
#include <uuid/uuid.h>

namespace tavrik {

Uuid Uuid::random() {
  Uuid u;
  uuid_generate_random(u.bytes_.data());
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
