// UTF-8 scalar decoding and the character classes of the text utilities.
// Invalid bytes decode as one-byte scalars that belong to no class, so text
// that is not UTF-8 passes through unchanged.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavrik::detail {

struct Scalar {
  char32_t value = 0;
  size_t length = 1;
  bool valid = false;
};

/// The scalar starting at `pos` (< text.size()).
Scalar decodeAt(std::string_view text, size_t pos);
/// The scalar ending just before `end` (> 0).
Scalar decodeBefore(std::string_view text, size_t end);

/// Unicode White_Space: the platform's whitespace-and-newlines class.
bool isWhitespaceOrNewline(char32_t c);
/// Space separators and tab: the platform's whitespace class.
bool isWhitespace(char32_t c);
/// Line feed, vertical tab, form feed, carriage return, NEL, LS, PS.
bool isNewline(char32_t c);

/// Whether a user-perceived character (extended grapheme cluster) may end
/// at byte `pos`. Covers CR LF, combining marks, joiners, emoji modifiers and
/// sequences, Hangul syllables and regional-indicator pairs.
bool isCharacterBoundary(std::string_view text, size_t pos);

/// `text` begins with `prefix` and the prefix ends on a character boundary.
bool hasCharacterPrefix(std::string_view text, std::string_view prefix);

} // namespace tavrik::detail
