#include "tavrik/State/GitStatusParser.h"

#include "tavrik/Util/StringUtilities.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tavrik {
namespace {

// Reads the fields of one record from a plain cursor and hands the position
// back to the buffer once, when the record is done: the per-field buffer calls
// showed in profiles at ten fields per record. The contract per field is that
// of GitBuffer::scanToAny with one delimiter: the bytes up to the delimiter,
// the position moved past it (or to the end), nothing at the end.
class Cursor {
public:
  explicit Cursor(GitBuffer& buffer) : buffer_(buffer), start_(buffer.remaining().data()) {
    std::string_view rest = buffer.remaining();
    p_ = rest.data();
    end_ = rest.data() + rest.size();
  }
  ~Cursor() { buffer_.advance(static_cast<size_t>(p_ - start_)); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // The raw bytes of the next field. Paths are bytes to git, so they are
  // kept as git printed them, valid UTF-8 or not.
  bool raw(char delimiter, std::string_view& out) {
    if (p_ == end_) return false;
    const auto* stop = static_cast<const char*>(std::memchr(p_, delimiter, static_cast<size_t>(end_ - p_)));
    if (!stop) {
      out = std::string_view(p_, static_cast<size_t>(end_ - p_));
      p_ = end_;
    } else {
      out = std::string_view(p_, static_cast<size_t>(stop - p_));
      p_ = stop + 1;
    }
    return true;
  }
  void skipByte() {
    if (p_ != end_) ++p_;
  }

private:
  GitBuffer& buffer_;
  const char* start_;
  const char* p_;
  const char* end_;
};

// Whole-text decimal conversion; nullopt for anything else (empty text,
// trailing bytes, overflow). A leading "+" is accepted like a "-".
std::optional<int32_t> decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) return std::nullopt;
  }
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// A mode: false when the field is missing or not UTF-8. A field that is not a
// number still counts, with the value 0.
bool readMode(Cursor& cursor, std::optional<int32_t>& target) {
  std::string_view text;
  if (!cursor.raw(' ', text)) return false;
  if (auto value = decimal(text)) {
    target = *value; // digits only, so valid UTF-8
    return true;
  }
  if (!isValidUTF8(text)) return false;
  target = 0;
  return true;
}

// An object id: false when missing or not an id. Bytes that would fail the
// UTF-8 check fail the id parse as well, so only the parse is done.
bool readOid(Cursor& cursor, std::optional<Oid>& target) {
  std::string_view text;
  if (!cursor.raw(' ', text)) return false;
  target = Oid::parse(text);
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

bool readXY(Cursor& cursor, GitStatusEntry& entry) {
  std::string_view xy;
  // Two bytes that are both status letters are ASCII, so no UTF-8 check.
  if (!cursor.raw(' ', xy) || xy.size() != 2) return false;
  auto x = gitStatusFromRawValue(xy[0]);
  auto y = gitStatusFromRawValue(xy[1]);
  if (!x || !y) return false;
  entry.index = *x;
  entry.worktree = *y;
  return true;
}

bool readSub(Cursor& cursor, GitStatusEntry& entry) {
  std::string_view s;
  if (!cursor.raw(' ', s)) return false;
  char slot[4];
  if (s.size() == 4 && !((s[0] | s[1] | s[2] | s[3]) & 0x80)) {
    // The usual case: four ASCII letters such as "N...".
    std::memcpy(slot, s.data(), 4);
  } else {
    if (!isValidUTF8(s) || codePointCount(s) != 4) return false;
    // The letters sit in the first four code points; any other character in
    // a slot simply means "no". A slot holding a multi-byte character cannot
    // match an ASCII letter, so comparing the slot's first byte is enough.
    for (char& c : slot) {
      size_t len = firstCodePointLength(s);
      c = len == 1 ? s[0] : '\0';
      s.remove_prefix(len);
    }
  }
  entry.submoduleState.isSubmodule = slot[0] == 'S';
  entry.submoduleState.commitChanged = slot[1] == 'C';
  entry.submoduleState.hasTrackedChanges = slot[2] == 'M';
  entry.submoduleState.hasUntrackedChanges = slot[3] == 'U';
  return true;
}

// The path of a record whose old and new path are the same: one string
// built, the other copied from it.
bool readSamePath(Cursor& cursor, GitStatusEntry& entry) {
  std::string_view path;
  if (!cursor.raw('\0', path)) return false;
  entry.newPath.emplace(path);
  entry.oldPath.emplace(*entry.newPath);
  return true;
}

bool ordinary(Cursor& cursor, GitStatusEntry& entry) {
  return readXY(cursor, entry) && readSub(cursor, entry) && readMode(cursor, entry.modeHead) &&
         readMode(cursor, entry.modeIndex) && readMode(cursor, entry.modeWorktree) && readOid(cursor, entry.oidHead) &&
         readOid(cursor, entry.oidIndex) && readSamePath(cursor, entry);
}

bool renamed(Cursor& cursor, GitStatusEntry& entry) {
  if (!readXY(cursor, entry) || !readSub(cursor, entry) || !readMode(cursor, entry.modeHead) ||
      !readMode(cursor, entry.modeIndex) || !readMode(cursor, entry.modeWorktree) || !readOid(cursor, entry.oidHead) ||
      !readOid(cursor, entry.oidIndex))
    return false;
  std::string_view score, path, origPath;
  if (!cursor.raw(' ', score)) return false;
  // "R100" / "C75": the letter goes, the rest is the similarity.
  entry.score = decimal(score.substr(firstCodePointLength(score)));
  if (!cursor.raw('\0', path) || !cursor.raw('\0', origPath)) return false;
  entry.newPath.emplace(path);
  entry.oldPath.emplace(origPath);
  return true;
}

bool unmerged(Cursor& cursor, GitStatusEntry& entry) {
  return readXY(cursor, entry) && readSub(cursor, entry) && readMode(cursor, entry.modeStage1) &&
         readMode(cursor, entry.modeStage2) && readMode(cursor, entry.modeStage3) &&
         readMode(cursor, entry.modeWorktree) && readOid(cursor, entry.oidStage1) &&
         readOid(cursor, entry.oidStage2) && readOid(cursor, entry.oidStage3) && readSamePath(cursor, entry);
}

bool pathOnly(Cursor& cursor, GitStatusEntry& entry, GitStatus status) {
  std::string_view path;
  if (!cursor.raw('\0', path)) return false;
  entry.index = status;
  entry.worktree = status;
  entry.newPath.emplace(path);
  return true;
}

// Parses one record into `entry`, a default entry; false when the record is
// malformed or of an unknown type (`entry` is then to be dropped).
bool parseInto(GitBuffer& buffer, GitStatusEntry& entry) {
  Cursor cursor(buffer);
  std::string_view type;
  if (!cursor.raw(' ', type)) return false;
  if (type.size() == 1) {
    switch (type[0]) {
    case '1': return ordinary(cursor, entry);
    case '2': return renamed(cursor, entry);
    case 'u': return unmerged(cursor, entry);
    case '?': return pathOnly(cursor, entry, GitStatus::untracked);
    case '!': return pathOnly(cursor, entry, GitStatus::ignored);
    default: break;
    }
  }
  // Headers such as "# branch.oid" are not requested; anything unknown is
  // stepped over one byte at a time past its type field. A type that is not
  // UTF-8 ends the record where its scan stopped.
  if (isValidUTF8(type)) cursor.skipByte();
  return false;
}

} // namespace

std::optional<GitStatusEntry> GitStatusParser::parseRecord(GitBuffer& buffer) {
  GitStatusEntry entry;
  if (!parseInto(buffer, entry)) return std::nullopt;
  return entry;
}

std::vector<GitStatusEntry> GitStatusParser::parse(GitBuffer& buffer) {
  std::vector<GitStatusEntry> entries;
  // Every record ends with a NUL (renames with two), so this bounds the count
  // closely and saves the moves of a growing vector.
  std::string_view rest = buffer.remaining();
  entries.reserve(countOf(rest, '\0') + 1);
  // Records are parsed in place, so an entry is never moved after it is built.
  while (!buffer.atEnd()) {
    if (!parseInto(buffer, entries.emplace_back())) entries.pop_back();
  }
  return entries;
}

} // namespace tavrik
