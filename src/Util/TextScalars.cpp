#include "Util/TextScalars.h"

#include <glib.h>

#include <dlfcn.h>

#ifndef TAVRIK_GLIB_SONAME
#error "TAVRIK_GLIB_SONAME names the GLib shared library to open"
#endif

namespace tavrik::detail {

Scalar decodeAt(std::string_view text, size_t pos) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1, true};
  size_t length;
  char32_t value;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return {lead, 1, false};
  }
  if (text.size() - pos < length) return {lead, 1, false};
  for (size_t i = 1; i < length; ++i) {
    unsigned char b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return {lead, 1, false};
    value = value << 6 | (b & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return {lead, 1, false};
  return {value, length, true};
}

Scalar decodeBefore(std::string_view text, size_t end) {
  // Look back over at most three continuation bytes for a lead byte whose
  // sequence ends exactly at `end`; otherwise the last byte stands alone.
  for (size_t back = 2; back <= 4 && back <= end; ++back) {
    unsigned char b = static_cast<unsigned char>(text[end - back + 1]);
    if ((b & 0xC0) != 0x80) break;
    Scalar s = decodeAt(text, end - back);
    if (s.valid && s.length == back) return s;
  }
  Scalar last = decodeAt(text, end - 1);
  if (last.length != 1) last = {static_cast<unsigned char>(text[end - 1]), 1, false};
  return last;
}

bool isWhitespace(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool isNewline(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

bool isWhitespaceOrNewline(char32_t c) { return isWhitespace(c) || isNewline(c); }

namespace {

bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x200B ||
         (c >= 0x200E && c <= 0x200F) || (c >= 0x2060 && c <= 0x206F && c != 0x2064) || c == 0xFEFF;
}

// GLib's character table answers one question here, whether a code point is
// a mark. It is opened on the first text beyond ASCII that asks rather than
// linked, which would load it (and its constructors) in every process at
// start-up. Without it, no code point counts as a mark: clusters split
// before combining marks, and nothing fails.
decltype(&::g_unichar_type) unicharType() {
  static const auto function = [] {
    void* handle = dlopen(TAVRIK_GLIB_SONAME, RTLD_LAZY | RTLD_LOCAL);
    return handle ? reinterpret_cast<decltype(&::g_unichar_type)>(dlsym(handle, "g_unichar_type")) : nullptr;
  }();
  return function;
}

bool isExtend(char32_t c) {
  if (c == 0x200C || c == 0x200D || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F)) return true;
  const auto typeOf = unicharType();
  if (!typeOf) return false;
  GUnicodeType type = typeOf(static_cast<gunichar>(c));
  return type == G_UNICODE_NON_SPACING_MARK || type == G_UNICODE_ENCLOSING_MARK || type == G_UNICODE_SPACING_MARK;
}

bool isExtendedPictographic(char32_t c) {
  return c == 0xA9 || c == 0xAE || c == 0x203C || c == 0x2049 || c == 0x2122 || c == 0x2139 ||
         (c >= 0x2194 && c <= 0x21AA) || (c >= 0x231A && c <= 0x23FF) || (c >= 0x25AA && c <= 0x25FE) ||
         (c >= 0x2600 && c <= 0x27BF) || (c >= 0x2934 && c <= 0x2935) || (c >= 0x2B05 && c <= 0x2B55) ||
         c == 0x3030 || c == 0x303D || c == 0x3297 || c == 0x3299 || (c >= 0x1F000 && c <= 0x1F3FA) ||
         (c >= 0x1F400 && c <= 0x1FAFF) || (c >= 0x1FC00 && c <= 0x1FFFD);
}

bool isRegionalIndicator(char32_t c) { return c >= 0x1F1E6 && c <= 0x1F1FF; }

enum class Hangul { none, l, v, t, lv, lvt };

Hangul hangul(char32_t c) {
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0xA960 && c <= 0xA97C)) return Hangul::l;
  if ((c >= 0x1160 && c <= 0x11A7) || (c >= 0xD7B0 && c <= 0xD7C6)) return Hangul::v;
  if ((c >= 0x11A8 && c <= 0x11FF) || (c >= 0xD7CB && c <= 0xD7FB)) return Hangul::t;
  if (c >= 0xAC00 && c <= 0xD7A3) return (c - 0xAC00) % 28 == 0 ? Hangul::lv : Hangul::lvt;
  return Hangul::none;
}

} // namespace

bool isCharacterBoundary(std::string_view text, size_t pos) {
  if (pos == 0 || pos >= text.size()) return true;
  // Never inside a well-formed multi-byte sequence.
  if ((static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) {
    for (size_t back = 1; back <= 3 && back <= pos; ++back) {
      Scalar s = decodeAt(text, pos - back);
      if (s.valid && s.length > back) return false;
    }
  }
  Scalar prev = decodeBefore(text, pos);
  Scalar next = decodeAt(text, pos);
  if (!prev.valid || !next.valid) return true;
  if (prev.value == '\r' && next.value == '\n') return false;
  if (isControl(prev.value) || isControl(next.value)) return true;
  Hangul hp = hangul(prev.value), hn = hangul(next.value);
  if (hp == Hangul::l && hn != Hangul::none && hn != Hangul::t) return false;
  if ((hp == Hangul::lv || hp == Hangul::v) && (hn == Hangul::v || hn == Hangul::t)) return false;
  if ((hp == Hangul::lvt || hp == Hangul::t) && hn == Hangul::t) return false;
  if (isExtend(next.value)) return false;
  if (prev.value == 0x200D && isExtendedPictographic(next.value)) return false;
  if (isRegionalIndicator(prev.value) && isRegionalIndicator(next.value)) {
    // Indicators pair up from the start of their run.
    size_t run = 0;
    for (size_t end = pos; end > 0;) {
      Scalar s = decodeBefore(text, end);
      if (!s.valid || !isRegionalIndicator(s.value)) break;
      ++run;
      end -= s.length;
    }
    return run % 2 == 0;
  }
  return true;
}

bool hasCharacterPrefix(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix && isCharacterBoundary(text, prefix.size());
}

} // namespace tavrik::detail
