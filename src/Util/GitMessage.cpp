#include "tavrik/Util/GitMessage.h"

#include "Util/TextScalars.h"
#include "tavrik/Util/StringUtilities.h"

namespace tavrik {

GitMessage::GitMessage(std::string_view text) : string(trimmed(text)) {}

std::string GitMessage::prettify() const {
  std::string_view text = string;
  std::string out;
  out.reserve(text.size() + 1);
  auto appendLine = [&](size_t begin, size_t end) {
    while (end > begin) {
      auto s = detail::decodeBefore(text, end);
      if (!s.valid || !detail::isWhitespace(s.value) || s.length > end - begin) break;
      end -= s.length;
    }
    out.append(text, begin, end - begin);
  };
  size_t lineStart = 0, pos = 0;
  while (pos < text.size()) {
    auto s = detail::decodeAt(text, pos);
    if (s.valid && detail::isNewline(s.value)) {
      appendLine(lineStart, pos);
      out += '\n';
      pos += s.length;
      if (s.value == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
      lineStart = pos;
    } else {
      pos += s.length;
    }
  }
  appendLine(lineStart, text.size());
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

} // namespace tavrik
