#include "tavrik/Util/StringUtilities.h"

#include "Util/TextScalars.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
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
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  passwd entry{};
  passwd* result = nullptr;
  int rc;
  while ((rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || !result || !result->pw_dir) return std::nullopt;
  return homeDirectoryPath(result->pw_dir);
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

} // namespace tavrik
