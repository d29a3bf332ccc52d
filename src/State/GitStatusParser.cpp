#include "tavrik/State/GitStatusParser.h"

#include <algorithm>
#include <charconv>

namespace tavrik {
namespace {

// One field up to `delimiter`, valid UTF-8; nullopt when missing or not
// decodable (the read position has moved either way). Same contract as
// GitBuffer::scanToAny with one delimiter, without its set dispatch, which
// shows in profiles at ten scans per record.
std::optional<std::string_view> field(GitBuffer& buffer, char delimiter) {
  std::string_view rest = buffer.remaining();
  if (rest.empty()) return std::nullopt;
  size_t end = rest.find(delimiter);
  std::string_view bytes = rest.substr(0, end);
  buffer.advance(end == std::string_view::npos ? rest.size() : end + 1);
  if (!isValidUTF8(bytes)) return std::nullopt;
  return bytes;
}

std::optional<std::string_view> spaceField(GitBuffer& buffer) { return field(buffer, ' '); }
std::optional<std::string_view> nulField(GitBuffer& buffer) { return field(buffer, '\0'); }

// Whole-text decimal conversion; nullopt for anything else (empty text,
// trailing bytes, overflow). A leading "+" is accepted like a "-".
std::optional<int64_t> decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) return std::nullopt;
  }
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// Reads a mode into `target`: false when the field is missing. A field that
// is not a number still counts, with the value 0.
bool readMode(GitBuffer& buffer, std::optional<int64_t>& target) {
  auto text = spaceField(buffer);
  if (!text) return false;
  target = decimal(*text).value_or(0);
  return true;
}

// Reads an object id into `target`: false when missing or not an id.
bool readOid(GitBuffer& buffer, std::optional<Oid>& target) {
  auto text = spaceField(buffer);
  if (!text) return false;
  target = Oid::parse(*text);
  return target.has_value();
}

// Number of code points in valid UTF-8 (continuation bytes are not counted).
size_t codePointCount(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

size_t firstCodePointLength(std::string_view text) {
  size_t n = text.empty() ? 0 : 1;
  while (n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) ++n;
  return n;
}

bool readXY(GitBuffer& buffer, GitStatusEntry& entry) {
  auto xy = spaceField(buffer);
  if (!xy || xy->size() != 2) return false;
  auto x = gitStatusFromRawValue((*xy)[0]);
  auto y = gitStatusFromRawValue((*xy)[1]);
  if (!x || !y) return false;
  entry.index = *x;
  entry.worktree = *y;
  return true;
}

bool readSub(GitBuffer& buffer, GitStatusEntry& entry) {
  auto sub = spaceField(buffer);
  if (!sub || codePointCount(*sub) != 4) return false;
  // The letters sit in the first four code points; any other character in a
  // slot simply means "no". A slot holding a multi-byte character cannot
  // match an ASCII letter, so comparing the slot's first byte is enough.
  std::string_view s = *sub;
  char slot[4];
  for (char& c : slot) {
    size_t len = firstCodePointLength(s);
    c = len == 1 ? s[0] : '\0';
    s.remove_prefix(len);
  }
  entry.submoduleState.isSubmodule = slot[0] == 'S';
  entry.submoduleState.commitChanged = slot[1] == 'C';
  entry.submoduleState.hasTrackedChanges = slot[2] == 'M';
  entry.submoduleState.hasUntrackedChanges = slot[3] == 'U';
  return true;
}

std::optional<GitStatusEntry> ordinary(GitBuffer& buffer) {
  GitStatusEntry entry;
  if (!readXY(buffer, entry) || !readSub(buffer, entry)) return std::nullopt;
  if (!readMode(buffer, entry.modeHead)) return std::nullopt;
  if (!readMode(buffer, entry.modeIndex)) return std::nullopt;
  if (!readMode(buffer, entry.modeWorktree)) return std::nullopt;
  if (!readOid(buffer, entry.oidHead)) return std::nullopt;
  if (!readOid(buffer, entry.oidIndex)) return std::nullopt;
  auto path = nulField(buffer);
  if (!path) return std::nullopt;
  entry.newPath.emplace(*path);
  entry.oldPath = entry.newPath;
  return entry;
}

std::optional<GitStatusEntry> renamed(GitBuffer& buffer) {
  GitStatusEntry entry;
  if (!readXY(buffer, entry) || !readSub(buffer, entry)) return std::nullopt;
  if (!readMode(buffer, entry.modeHead)) return std::nullopt;
  if (!readMode(buffer, entry.modeIndex)) return std::nullopt;
  if (!readMode(buffer, entry.modeWorktree)) return std::nullopt;
  if (!readOid(buffer, entry.oidHead)) return std::nullopt;
  if (!readOid(buffer, entry.oidIndex)) return std::nullopt;
  auto score = spaceField(buffer);
  if (!score) return std::nullopt;
  // "R100" / "C75": the letter goes, the rest is the similarity.
  entry.score = decimal(score->substr(firstCodePointLength(*score)));
  auto path = nulField(buffer);
  if (!path) return std::nullopt;
  auto origPath = nulField(buffer);
  if (!origPath) return std::nullopt;
  entry.newPath.emplace(*path);
  entry.oldPath.emplace(*origPath);
  return entry;
}

std::optional<GitStatusEntry> unmerged(GitBuffer& buffer) {
  GitStatusEntry entry;
  if (!readXY(buffer, entry) || !readSub(buffer, entry)) return std::nullopt;
  if (!readMode(buffer, entry.modeStage1)) return std::nullopt;
  if (!readMode(buffer, entry.modeStage2)) return std::nullopt;
  if (!readMode(buffer, entry.modeStage3)) return std::nullopt;
  if (!readMode(buffer, entry.modeWorktree)) return std::nullopt;
  if (!readOid(buffer, entry.oidStage1)) return std::nullopt;
  if (!readOid(buffer, entry.oidStage2)) return std::nullopt;
  if (!readOid(buffer, entry.oidStage3)) return std::nullopt;
  auto path = nulField(buffer);
  if (!path) return std::nullopt;
  entry.newPath.emplace(*path);
  entry.oldPath = entry.newPath;
  return entry;
}

std::optional<GitStatusEntry> pathOnly(GitBuffer& buffer, GitStatus status) {
  auto path = nulField(buffer);
  if (!path) return std::nullopt;
  GitStatusEntry entry;
  entry.index = status;
  entry.worktree = status;
  entry.newPath.emplace(*path);
  return entry;
}

} // namespace

std::optional<GitStatusEntry> GitStatusParser::parseRecord(GitBuffer& buffer) {
  auto type = spaceField(buffer);
  if (!type) return std::nullopt;
  if (*type == "1") return ordinary(buffer);
  if (*type == "2") return renamed(buffer);
  if (*type == "u") return unmerged(buffer);
  if (*type == "?") return pathOnly(buffer, GitStatus::untracked);
  if (*type == "!") return pathOnly(buffer, GitStatus::ignored);
  // Headers such as "# branch.oid" are not requested; anything unknown is
  // stepped over one byte at a time past its type field.
  buffer.advance(1);
  return std::nullopt;
}

std::vector<GitStatusEntry> GitStatusParser::parse(GitBuffer& buffer) {
  std::vector<GitStatusEntry> entries;
  // Every record ends with a NUL (renames with two), so this bounds the count
  // closely and saves the moves of a growing vector.
  std::string_view rest = buffer.remaining();
  entries.reserve(static_cast<size_t>(std::count(rest.begin(), rest.end(), '\0')) + 1);
  while (!buffer.atEnd()) {
    if (auto entry = parseRecord(buffer)) entries.push_back(std::move(*entry));
  }
  return entries;
}

} // namespace tavrik
