#include "ProcessText.h"

#include <cstdint>

namespace tavrik::detail {
namespace {

bool isWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Length of the white-space character starting at `i`, 0 when there is none.
size_t whiteSpaceAt(std::string_view text, size_t i) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t c = b(i);
  if (c < 0x80) return isWhiteSpace(c) ? 1 : 0;
  if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
    char32_t cp = (char32_t(c & 0x1F) << 6) | (b(i + 1) & 0x3F);
    return (b(i + 1) & 0xC0) == 0x80 && isWhiteSpace(cp) ? 2 : 0;
  }
  if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
    if ((b(i + 1) & 0xC0) != 0x80 || (b(i + 2) & 0xC0) != 0x80) return 0;
    char32_t cp = (char32_t(c & 0x0F) << 12) | (char32_t(b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    return isWhiteSpace(cp) ? 3 : 0;
  }
  return 0;
}

// Start of the character that ends just before `end`.
size_t characterStartBefore(std::string_view text, size_t end) {
  size_t i = end - 1;
  size_t steps = 0;
  while (i > 0 && steps < 3 && (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80) {
    --i;
    ++steps;
  }
  return i;
}

} // namespace

std::string_view trimmedWhitespaceAndNewlines(std::string_view text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t n = whiteSpaceAt(text, start);
    if (n == 0) break;
    start += n;
  }
  size_t end = text.size();
  while (end > start) {
    size_t charStart = characterStartBefore(text, end);
    if (charStart < start) break;
    size_t n = whiteSpaceAt(text, charStart);
    if (n == 0 || charStart + n != end) break;
    end = charStart;
  }
  return text.substr(start, end - start);
}

} // namespace tavrik::detail
