// The two readers of git's diff output: the raw listing and the unified
// patch. Neither throws; both keep names as the bytes git printed.
#include "tavrik/Diff/GitDiff.h"

#include "tavrik/Util/StringUtilities.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <unordered_map>

namespace tavrik {

namespace {

using Type = GitDiffLineType;

template <class Int> std::optional<Int> parseDecimal(std::string_view text) {
  Int value{};
  if (text.empty()) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

} // namespace

GitDiffLineType gitDiffLineType(std::string_view line, bool headerHint) {
  // The prefix table in order; only "--- " / "-" and "+++ " / "+" can both
  // match, so the other first bytes decide alone.
  if (line.empty()) return Type::unknown;
  switch (line.front()) {
  case '*': return line.starts_with("* Unmerged path") ? Type::headerUnmerged : Type::unknown;
  case 'd':
    if (line.starts_with("diff ")) return Type::headerDiff;
    return line.starts_with("deleted ") ? Type::headerDeletedFile : Type::unknown;
  case 'i': return line.starts_with("index ") ? Type::headerIndex : Type::unknown;
  case 'n': return line.starts_with("new ") ? Type::headerNewFile : Type::unknown;
  case '-':
    if (line.starts_with("--- ")) return headerHint ? Type::headerFileA : Type::deletion;
    return Type::deletion;
  case '+':
    if (line.starts_with("+++ ")) return headerHint ? Type::headerFileB : Type::addition;
    return Type::addition;
  case 's': return line.starts_with("similarity ") ? Type::headerSimilarity : Type::unknown;
  case 'r':
    if (line.starts_with("rename from ")) return Type::headerRenameFrom;
    return line.starts_with("rename to ") ? Type::headerRenameTo : Type::unknown;
  case 'c':
    if (line.starts_with("copy from ")) return Type::headerCopyFrom;
    return line.starts_with("copy to ") ? Type::headerCopyTo : Type::unknown;
  case '@': return line.starts_with("@@ ") ? Type::hunk : Type::unknown;
  case ' ': return Type::context;
  case '\\': return Type::noNewlineAtEOF;
  case 'B': return line.starts_with("Binary ") ? Type::binary : Type::unknown;
  default: return Type::unknown;
  }
}

// ---------------------------------------------------------------------------
// Raw listing

std::vector<std::shared_ptr<GitDiff>> GitDiff::parseRaw(GitBuffer& buffer, bool cached, bool ours, bool firstParent,
                                                        bool numstat, std::optional<Oid> commit) {
  std::vector<std::shared_ptr<GitDiff>> diffs;
  bool countsFollow = false;
  while (true) {
    const size_t recordStart = buffer.offset();
    auto record = buffer.scanToNull();
    if (!record) break;
    if (record->empty() || record->front() != ':') {
      if (numstat) {
        buffer.resetOffset();
        buffer.advance(recordStart);
        countsFollow = true;
      }
      break;
    }
    GitBuffer fields(record->substr(1));
    auto oldMode = fields.scanToAny(GitBuffer::kSpace);
    auto newMode = fields.scanToAny(GitBuffer::kSpace);
    auto oldId = fields.scanToAny(GitBuffer::kSpace);
    auto newId = fields.scanToAny(GitBuffer::kSpace);
    auto statusField = fields.scanToAny(GitBuffer::kNull);
    auto firstPath = buffer.scanToNull();
    if (!oldMode || !newMode || !oldId || !newId || !statusField || statusField->empty() || !firstPath) continue;
    auto status = gitStatusFromRawValue(statusField->front());
    if (!status) continue;

    auto diff = std::make_shared<GitDiff>();
    diff->offset = diffs.size();
    diff->raw = true;
    diff->cached = cached;
    diff->ours = ours;
    diff->firstParent = firstParent;
    diff->commit = commit;
    diff->status = *status;
    diff->similarity = parseDecimal<int32_t>(statusField->substr(1));
    diff->oldFile.oid = Oid::parse(*oldId).value_or(Oid::zero);
    diff->newFile.oid = Oid::parse(*newId).value_or(Oid::zero);
    diff->oldFile.mode = GitMode::fromOctal(*oldMode);
    diff->newFile.mode = GitMode::fromOctal(*newMode);
    std::string first(*firstPath);
    switch (*status) {
    case GitStatus::renamed:
    case GitStatus::copied: {
      auto second = buffer.scanToNull();
      diff->oldFile.path = std::move(first);
      if (second) diff->newFile.path = std::string(*second);
      break;
    }
    case GitStatus::deleted: diff->oldFile.path = std::move(first); break;
    case GitStatus::added: diff->newFile.path = std::move(first); break;
    default:
      diff->oldFile.path = first;
      diff->newFile.path = std::move(first);
    }
    diffs.push_back(std::move(diff));
  }

  if (!countsFollow) return diffs;
  std::unordered_map<std::string_view, GitDiffStats> counts;
  while (auto insertions = buffer.scanToTab()) {
    auto deletions = buffer.scanToTab();
    auto path = buffer.scanToNull();
    if (path && path->empty()) {
      buffer.scanToNull(); // the source of a rename or copy
      path = buffer.scanToNull();
    }
    if (!deletions || !path) continue;
    auto added = parseDecimal<int64_t>(*insertions);
    auto deleted = parseDecimal<int64_t>(*deletions);
    if (added && deleted) counts[*path] = GitDiffStats{*added, *deleted};
  }
  for (auto& diff : diffs) {
    // By name, not by id: a file added with intent to add has zero ids on
    // both sides and still has lines.
    const auto& path = diff->newFile.path ? diff->newFile.path : diff->oldFile.path;
    if (!path) continue;
    if (auto found = counts.find(*path); found != counts.end()) diff->stats = found->second;
  }
  return diffs;
}

// ---------------------------------------------------------------------------
// Unified patch

namespace {

// A path of a "---", "+++", "rename" or "copy" line: quoted by git when it
// holds unusual bytes, and followed by a TAB when it holds a space.
std::string headerPath(std::string_view text) {
  if (auto unquoted = gitUnquotedPrefix(text)) return std::move(unquoted->name);
  if (!text.empty() && text.back() == '\t') text.remove_suffix(1);
  return std::string(text);
}

std::optional<std::string> sidePath(std::string_view text, std::string_view prefix) {
  std::string path = headerPath(text);
  if (path == "/dev/null") return std::nullopt;
  if (path.starts_with(prefix)) path.erase(0, prefix.size());
  return path;
}

// "diff --git a/x b/y": the two names, when they can be told apart. Only
// binary and mode-only diffs need them; the others name their files again.
std::optional<std::pair<std::string, std::string>> gitDiffPaths(std::string_view line) {
  constexpr std::string_view prefix = "diff --git ";
  if (!line.starts_with(prefix)) return std::nullopt;
  std::string_view rest = line.substr(prefix.size());
  std::string a, b;
  if (auto first = gitUnquotedPrefix(rest)) {
    a = std::move(first->name);
    rest.remove_prefix(first->length);
    if (rest.empty() || rest.front() != ' ') return std::nullopt;
    rest.remove_prefix(1);
    if (auto second = gitUnquotedPrefix(rest)) b = std::move(second->name);
    else b = std::string(rest);
  } else if (rest.size() % 2 == 1 && rest[rest.size() / 2] == ' ') {
    // Unquoted: "a/P b/P" splits only at its middle for equal names.
    a = std::string(rest.substr(0, rest.size() / 2));
    b = std::string(rest.substr(rest.size() / 2 + 1));
  } else {
    return std::nullopt;
  }
  if (!a.starts_with("a/") || !b.starts_with("b/")) return std::nullopt;
  return std::pair{a.substr(2), b.substr(2)};
}

// "@@ -a,b +c,d @@": the two start numbers.
std::pair<std::optional<int32_t>, std::optional<int32_t>> hunkStarts(std::string_view line) {
  auto pieces = splitPieces(line, ' ');
  if (pieces.size() < 3) return {};
  auto start = [](std::string_view piece) -> std::optional<int32_t> {
    if (piece.empty()) return std::nullopt;
    piece.remove_prefix(1);
    auto start = parseDecimal<int32_t>(piece.substr(0, piece.find(',')));
    return start && *start >= 0 ? start : std::nullopt;
  };
  return {start(pieces[1]), start(pieces[2])};
}

// "deleted file mode 100644", "new mode 100755": the mode at the end.
GitMode lastWordMode(std::string_view line) { return GitMode::fromOctal(line.substr(line.rfind(' ') + 1)); }

// Lines per diff, so each diff's line array is allocated once.
std::vector<size_t> linesPerDiff(std::string_view data) {
  std::vector<size_t> counts{0};
  size_t pos = 0;
  while (pos < data.size()) {
    if (data.substr(pos).starts_with("diff ") || data.substr(pos).starts_with("* Unmerged path")) counts.push_back(0);
    ++counts.back();
    const void* eol = std::memchr(data.data() + pos, '\n', data.size() - pos);
    pos = eol ? static_cast<size_t>(static_cast<const char*>(eol) - data.data()) + 1 : data.size();
  }
  return counts;
}

class PatchParser {
public:
  PatchParser(std::shared_ptr<const std::string> output, bool cached, bool ours, bool firstParent,
              std::optional<Oid> commit)
      : output_(std::move(output)), cached_(cached), ours_(ours), firstParent_(firstParent), commit_(commit) {}

  std::vector<std::shared_ptr<GitDiff>> run() {
    const std::string_view data(*output_);
    expected_ = linesPerDiff(data);
    startDiff();
    size_t pos = 0;
    while (pos < data.size()) {
      const void* found = std::memchr(data.data() + pos, '\n', data.size() - pos);
      const size_t eol = found ? static_cast<size_t>(static_cast<const char*>(found) - data.data()) : data.size();
      if (found) {
        addLine(output_, pos, eol - pos + 1);
      } else {
        // git ends every line; a cut-off last line gets its newline here.
        auto completed = std::make_shared<const std::string>(std::string(data.substr(pos)) + "\n");
        addLine(completed, 0, completed->size());
      }
      pos = eol + 1;
    }
    closeDiff();
    return std::move(result_);
  }

private:
  void startDiff() {
    current_ = std::make_shared<GitDiff>();
    if (segment_ < expected_.size()) current_->lines.reserve(expected_[segment_]);
    headerHint_ = true;
    oldCounter_.reset();
    newCounter_.reset();
  }

  void closeHunk() {
    auto& diff = *current_;
    if (headerStart_) {
      diff.headerBegin = *headerStart_;
      diff.headerEnd = diff.lines.size();
      headerStart_.reset();
      headerHint_ = false;
    }
    if (hunkStart_ && hunkOldStart_ && hunkNewStart_)
      diff.hunks.push_back({*hunkStart_, diff.lines.size(), *hunkOldStart_, *hunkNewStart_});
    hunkStart_.reset();
    hunkOldStart_.reset();
    hunkNewStart_.reset();
  }

  void closeDiff() {
    closeHunk();
    if (!current_->lines.empty()) {
      auto& diff = *current_;
      diff.cached = cached_;
      diff.ours = ours_;
      diff.firstParent = firstParent_;
      diff.commit = commit_;
      diff.raw = false;
      diff.offset = result_.size();
      result_.push_back(std::move(current_));
    }
    startDiff();
  }

  // `length` bytes of `bytes` from `offset`: one line with its newline.
  void addLine(const std::shared_ptr<const std::string>& bytes, size_t offset, size_t length) {
    const std::string_view line = std::string_view(*bytes).substr(offset, length - 1);
    const Type type = gitDiffLineType(line, headerHint_);
    if (type == Type::headerUnmerged || type == Type::headerDiff) {
      ++segment_;
      closeDiff();
    }
    auto& diff = *current_;
    GitDiffLine out;
    out.type = type;
    out.setString(bytes, offset, length);

    switch (type) {
    case Type::headerUnmerged:
      diff.status = GitStatus::unmerged;
      headerStart_ = diff.lines.size();
      diff.oldFile.path = diff.newFile.path = trimmed(line.substr(std::min(line.size(), size_t(16))));
      break;
    case Type::headerDiff:
      headerStart_ = diff.lines.size();
      if (auto paths = gitDiffPaths(line)) {
        diff.oldFile.path = std::move(paths->first);
        diff.newFile.path = std::move(paths->second);
      }
      break;
    case Type::headerIndex: {
      auto pieces = splitPieces(line, ' ');
      std::erase_if(pieces, [](std::string_view p) { return p.empty(); });
      if (pieces.size() >= 2) {
        auto dots = pieces[1].find("..");
        if (dots != std::string_view::npos) {
          diff.oldFile.oid = Oid::parse(pieces[1].substr(0, dots)).value_or(Oid::zero);
          diff.newFile.oid = Oid::parse(pieces[1].substr(dots + 2)).value_or(Oid::zero);
        }
      }
      // "index a..b 100644": the mode both sides share.
      if (pieces.size() >= 3) diff.oldFile.mode = diff.newFile.mode = GitMode::fromOctal(pieces[2]);
      break;
    }
    case Type::headerDeletedFile:
      diff.status = GitStatus::deleted;
      diff.newFile.path.reset();
      diff.oldFile.mode = lastWordMode(line);
      break;
    case Type::headerNewFile:
      // "new mode" is a mode change, not an added file.
      if (line.starts_with("new file")) {
        diff.status = GitStatus::added;
        diff.oldFile.path.reset();
      }
      diff.newFile.mode = lastWordMode(line);
      break;
    case Type::headerFileA: diff.oldFile.path = sidePath(line.substr(4), "a/"); break;
    case Type::headerFileB: diff.newFile.path = sidePath(line.substr(4), "b/"); break;
    case Type::headerSimilarity: {
      constexpr std::string_view prefix = "similarity index ";
      if (line.starts_with(prefix)) {
        auto rest = line.substr(prefix.size());
        diff.similarity = parseDecimal<int32_t>(rest.substr(0, rest.find('%')));
      } else {
        diff.similarity.reset();
      }
      break;
    }
    case Type::headerRenameFrom:
    case Type::headerCopyFrom:
    case Type::headerRenameTo:
    case Type::headerCopyTo: {
      const bool rename = type == Type::headerRenameFrom || type == Type::headerRenameTo;
      const bool from = type == Type::headerRenameFrom || type == Type::headerCopyFrom;
      diff.status = rename ? GitStatus::renamed : GitStatus::copied;
      auto path = headerPath(line.substr((rename ? 7 : 5) + (from ? 5 : 3)));
      (from ? diff.oldFile : diff.newFile).path = std::move(path);
      break;
    }
    case Type::hunk: {
      closeHunk();
      auto [oldStart, newStart] = hunkStarts(line);
      oldCounter_ = oldStart;
      newCounter_ = newStart;
      hunkStart_ = diff.lines.size();
      hunkOldStart_ = oldStart;
      hunkNewStart_ = newStart;
      break;
    }
    case Type::context:
    case Type::addition:
    case Type::deletion:
    case Type::noNewlineAtEOF:
      out.origin = line.front();
      out.setString(bytes, offset + 1, length - 1);
      // Only lines of a file have numbers; headers, hunk lines and git's
      // no-newline marker have none.
      if (type == Type::context || type == Type::deletion) out.oldLineNumber = oldCounter_;
      if (type == Type::context || type == Type::addition) out.newLineNumber = newCounter_;
      if (type == Type::addition) ++diff.stats.insertions;
      if (type == Type::deletion) ++diff.stats.deletions;
      break;
    case Type::binary:
      closeHunk();
      diff.binaryLine = diff.lines.size();
      break;
    case Type::unknown:
      if (headerStart_ && line.starts_with("old mode ")) diff.oldFile.mode = lastWordMode(line);
      break;
    }

    out.index = static_cast<uint32_t>(diff.lines.size());
    diff.lines.push_back(out);

    // Numbers stop at the largest one a line can have rather than overflow.
    auto advance = [](std::optional<int32_t>& counter) {
      if (counter && *counter < std::numeric_limits<int32_t>::max()) ++*counter;
    };
    if (type == Type::context || type == Type::deletion) advance(oldCounter_);
    if (type == Type::context || type == Type::addition) advance(newCounter_);
  }

  std::shared_ptr<const std::string> output_;
  const bool cached_, ours_, firstParent_;
  const std::optional<Oid> commit_;
  std::vector<size_t> expected_;
  size_t segment_ = 0;

  std::vector<std::shared_ptr<GitDiff>> result_;
  std::shared_ptr<GitDiff> current_;
  bool headerHint_ = true;
  std::optional<size_t> headerStart_, hunkStart_;
  std::optional<int32_t> hunkOldStart_, hunkNewStart_;
  std::optional<int32_t> oldCounter_, newCounter_;
};

} // namespace

std::vector<std::shared_ptr<GitDiff>> GitDiff::parsePatch(std::shared_ptr<const std::string> output, bool cached,
                                                          bool ours, bool firstParent, std::optional<Oid> commit) {
  if (!output) return {};
  return PatchParser(std::move(output), cached, ours, firstParent, commit).run();
}

std::vector<std::shared_ptr<GitDiff>> GitDiff::parsePatch(GitBuffer& buffer, bool cached, bool ours, bool firstParent,
                                                          std::optional<Oid> commit) {
  std::string output = buffer.takeRemaining();
  // The lines keep these bytes alive: not the slack of the buffer's growth.
  if (output.capacity() > output.size() + output.size() / 16) output.shrink_to_fit();
  return parsePatch(std::make_shared<const std::string>(std::move(output)), cached, ours, firstParent, commit);
}

} // namespace tavrik
