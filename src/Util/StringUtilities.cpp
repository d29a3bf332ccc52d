#include "tavrik/Util/StringUtilities.h"

#include "Util/TextScalars.h"
#include "Util/UserAccount.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace tavrik {

using detail::decodeAt;
using detail::decodeBefore;

namespace {

std::string replacingAll(std::string_view text, std::string_view needle, std::string_view replacement) {
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t at; (at = text.find(needle, from)) != std::string_view::npos; from = at + needle.size()) {
    out.append(text, from, at - from);
    out.append(replacement);
  }
  out.append(text, from);
  return out;
}

bool endsWithIgnoringASCIICase(std::string_view text, std::string_view lowerSuffix) {
  if (text.size() < lowerSuffix.size()) return false;
  std::string_view tail = text.substr(text.size() - lowerSuffix.size());
  for (size_t i = 0; i < tail.size(); ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerSuffix[i]) return false;
  }
  return true;
}

} // namespace

std::vector<std::string_view> splitPieces(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

size_t countOf(std::string_view text, char byte) {
  // memchr steps through the bytes many at a time; a plain counting loop is
  // not vectorised at the optimisation level the library is built with.
  size_t count = 0;
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at < end) {
    const void* found = std::memchr(at, byte, static_cast<size_t>(end - at));
    if (!found) break;
    ++count;
    at = static_cast<const char*>(found) + 1;
  }
  return count;
}

std::string trimmed(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end) {
    auto s = decodeAt(text, begin);
    if (!s.valid || !detail::isWhitespaceOrNewline(s.value)) break;
    begin += s.length;
  }
  while (end > begin) {
    auto s = decodeBefore(text, end);
    if (!s.valid || !detail::isWhitespaceOrNewline(s.value) || s.length > end - begin) break;
    end -= s.length;
  }
  return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> nilOnEmpty(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

std::string shellQuoted(std::string_view text) {
  bool plain = !text.empty();
  for (unsigned char c : text)
    if (!(std::isalnum(c) || std::string_view("/._-+,:@%=").find(static_cast<char>(c)) != std::string_view::npos))
      plain = false;
  if (plain) return std::string(text);
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string gitSubject(std::string_view message) {
  std::string text = trimmed(message);
  // The first line feed that is not the second half of a CR LF pair ends the
  // subject; the trimmed text cannot begin with one, so the piece is never
  // empty unless the whole text is.
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) {
    if (at == 0 || text[at - 1] != '\r') return text.substr(0, at);
  }
  return text;
}

std::string gitSanitizedBranchName(std::string_view text) {
  std::string out;
  size_t pos = 0, pieceStart = 0;
  auto flush = [&](size_t pieceEnd) {
    if (pieceEnd > pieceStart) {
      if (!out.empty()) out += '-';
      out.append(text, pieceStart, pieceEnd - pieceStart);
    }
  };
  while (pos < text.size()) {
    auto s = decodeAt(text, pos);
    if (s.valid && detail::isWhitespace(s.value)) {
      flush(pos);
      pieceStart = pos + s.length;
    }
    pos += s.length;
  }
  flush(text.size());
  return out;
}

std::optional<std::string> currentUserHomeDirectory() {
  auto account = detail::currentUserAccount();
  if (!account || !account->homeDirectory) return std::nullopt;
  return homeDirectoryPath(*account->homeDirectory);
}

std::optional<std::string> homeDirectoryPath(std::string_view entry) {
  // Only an absolute directory names a place; as a directory location its
  // path carries no trailing slash (except the root itself).
  if (entry.empty() || entry[0] != '/') return std::nullopt;
  while (entry.size() > 1 && entry.back() == '/') entry.remove_suffix(1);
  return std::string(entry);
}

std::string expandingTildeInPath(std::string_view path) {
  if (path != "~" && !detail::hasCharacterPrefix(path, "~/")) return std::string(path);
  return expandingTildeInPath(path, currentUserHomeDirectory());
}

std::string expandingTildeInPath(std::string_view path, const std::optional<std::string>& homeEntry) {
  if (path != "~" && !detail::hasCharacterPrefix(path, "~/")) return std::string(path);
  auto home = homeEntry ? homeDirectoryPath(*homeEntry) : std::nullopt;
  if (!home) return std::string(path);
  return replacingAll(path, "~", *home);
}

std::string abbreviatingWithTildeInPath(std::string_view path) {
  return abbreviatingWithTildeInPath(path, currentUserHomeDirectory());
}

std::string abbreviatingWithTildeInPath(std::string_view path, const std::optional<std::string>& homeEntry) {
  auto home = homeEntry ? homeDirectoryPath(*homeEntry) : std::nullopt;
  if (!home) return std::string(path);
  if (path != *home && !detail::hasCharacterPrefix(path, *home + "/")) return std::string(path);
  return replacingAll(path, *home, "~");
}

std::string dropPrefix(std::string_view text, std::string_view prefix) {
  if (!detail::hasCharacterPrefix(text, prefix)) return std::string(text);
  return std::string(text.substr(prefix.size()));
}

bool hasDiffableImageExtension(std::string_view path) {
  for (std::string_view extension : {".jpeg", ".jpg", ".png"}) {
    if (endsWithIgnoringASCIICase(path, extension) &&
        detail::isCharacterBoundary(path, path.size() - extension.size()))
      return true;
  }
  return false;
}

std::optional<std::string> appSandboxContainerID() {
  const char* value = std::getenv("APP_SANDBOX_CONTAINER_ID");
  if (!value) return std::nullopt;
  return std::string(value);
}

bool isSandboxed() { return std::getenv("APP_SANDBOX_CONTAINER_ID") != nullptr; }

void appendGitQuotedPath(std::string& out, std::string_view path) {
  // The bytes git quotes, from a table: status lists tens of thousands of
  // paths, nearly all of which need no quotes.
  static constexpr auto kQuoted = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = c <= 0x20 || c == '"' || c == '\\' || c >= 0x7F;
    return table;
  }();
  bool needsQuotes = false;
  for (unsigned char c : path) needsQuotes |= kQuoted[c];
  if (!needsQuotes) {
    out += path;
    return;
  }
  out += '"';
  for (unsigned char c : path) {
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\a': out += "\\a"; break;
    case '\b': out += "\\b"; break;
    case '\t': out += "\\t"; break;
    case '\n': out += "\\n"; break;
    case '\v': out += "\\v"; break;
    case '\f': out += "\\f"; break;
    case '\r': out += "\\r"; break;
    default:
      if (c < 0x20 || c >= 0x7F) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\%03o", c);
        out += buf;
      } else {
        out.push_back(static_cast<char>(c));
      }
    }
  }
  out += '"';
}

std::string gitQuotedPath(std::string_view path) {
  std::string out;
  appendGitQuotedPath(out, path);
  return out;
}

std::optional<GitUnquotedName> gitUnquotedPrefix(std::string_view text) {
  if (text.empty() || text.front() != '"') return std::nullopt;
  GitUnquotedName result;
  for (size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      result.length = i + 1;
      return result;
    }
    if (c != '\\') {
      result.name.push_back(c);
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
    case 'a': result.name.push_back('\a'); break;
    case 'b': result.name.push_back('\b'); break;
    case 't': result.name.push_back('\t'); break;
    case 'n': result.name.push_back('\n'); break;
    case 'v': result.name.push_back('\v'); break;
    case 'f': result.name.push_back('\f'); break;
    case 'r': result.name.push_back('\r'); break;
    case '"': result.name.push_back('"'); break;
    case '\\': result.name.push_back('\\'); break;
    default: {
      // Three octal digits, the first at most 3: one byte.
      if (i + 2 >= text.size()) return std::nullopt;
      int value = 0;
      for (size_t k = i; k < i + 3; ++k) {
        if (text[k] < '0' || text[k] > '7') return std::nullopt;
        value = value * 8 + (text[k] - '0');
      }
      if (value > 0xFF) return std::nullopt;
      result.name.push_back(static_cast<char>(value));
      i += 2;
    }
    }
  }
  return std::nullopt;
}

namespace {

// Where the user information of the address whose authority begins at
// `start` ends (its last "@"), or npos. The authority ends at the path,
// query or fragment, and in running text at a blank or a control character,
// which no address holds; quotes do not end it, since a password may hold them.
size_t userInfoEnd(std::string_view text, size_t start) {
  size_t end = start;
  while (end < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[end]);
    if (c <= 0x20 || c == 0x7f || c == '/' || c == '?' || c == '#') break;
    ++end;
  }
  size_t at = text.substr(start, end - start).rfind('@');
  return at == std::string_view::npos ? at : start + at;
}

std::string percentDecoded(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

} // namespace

std::string withoutURLPasswords(std::string_view text) {
  std::string result;
  size_t copied = 0;
  for (size_t scheme = text.find("://"); scheme != std::string_view::npos; scheme = text.find("://", scheme + 3)) {
    size_t start = scheme + 3;
    size_t at = userInfoEnd(text, start);
    if (at == std::string_view::npos) continue;
    size_t colon = text.substr(start, at - start).find(':');
    if (colon == std::string_view::npos) continue;
    result.append(text, copied, start + colon - copied);
    copied = at;
  }
  if (copied == 0) return std::string(text);
  result.append(text, copied);
  return result;
}

std::optional<URLPasswordSplit> splitURLPassword(std::string_view address) {
  size_t scheme = address.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return std::nullopt;
  size_t start = scheme + 3;
  size_t at = userInfoEnd(address, start);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view userInfo = address.substr(start, at - start);
  size_t colon = userInfo.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  size_t hostEnd = address.find_first_of("/?#", at + 1);
  if (hostEnd == std::string_view::npos) hostEnd = address.size();
  URLPasswordSplit split;
  split.scheme = std::string(address.substr(0, scheme));
  split.host = std::string(address.substr(at + 1, hostEnd - at - 1));
  split.user = percentDecoded(userInfo.substr(0, colon));
  split.password = percentDecoded(userInfo.substr(colon + 1));
  // Without a user the "@" goes too: git would take "https://@host" for an empty user.
  split.address = std::string(address.substr(0, start + colon)) + std::string(address.substr(colon == 0 ? at + 1 : at));
  return split;
}

} // namespace tavrik
