#include "tavrik/Diff/GitDiffTransformer.h"

#include "tavrik/Util/StringUtilities.h"

#include <limits>

namespace tavrik {

namespace {

using Type = GitDiffLineType;

std::optional<int32_t> narrow(int64_t number) {
  if (number < 0 || number > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(number);
}

// One line of a transformed hunk: which sides it is on and whether it ends
// with a newline there.
struct Op {
  enum Kind { context, deletion, addition, other } kind;
  const GitDiffLine* source;
  const GitDiffLine* marker; // the source's "\ No newline" line after it
  bool oldEol = true;
  bool newEol = true;

  bool onOld() const { return kind != addition; }
  bool onNew() const { return kind != deletion; }
};

class Builder {
public:
  Builder(const GitDiff& source, GitDiff& result) : source_(source), result_(result) {}

  void text(Type type, std::string_view bytes, std::optional<int32_t> oldNumber, std::optional<int32_t> newNumber) {
    GitDiffLine line;
    line.type = type;
    line.setString(bytes);
    line.oldLineNumber = oldNumber;
    line.newLineNumber = newNumber;
    result_.lines.push_back(line);
  }

  void copy(const GitDiffLine& line, std::optional<Type> type = std::nullopt, std::optional<char> origin = std::nullopt) {
    auto& out = result_.lines.emplace_back(line);
    if (type) out.type = *type;
    if (origin) out.origin = origin;
  }

  void header(bool rewrite, const std::optional<std::string>& keptPath) {
    if (!rewrite || !keptPath) {
      for (size_t i = source_.headerBegin; i < source_.headerEnd && i < source_.lines.size(); ++i)
        copy(source_.lines[i]);
      return;
    }
    const std::string a = gitQuotedPath("a/" + *keptPath), b = gitQuotedPath("b/" + *keptPath);
    text(Type::headerDiff, "diff --git " + a + " " + b + "\n", std::nullopt, std::nullopt);
    text(Type::headerFileA, "--- " + a + "\n", std::nullopt, std::nullopt);
    text(Type::headerFileB, "+++ " + b + "\n", std::nullopt, std::nullopt);
  }

  // Emits one hunk; returns its line counts (old, new).
  std::pair<int64_t, int64_t> hunk(const std::vector<Op>& ops, int64_t oldStart, int64_t newStart) {
    const size_t headerAt = result_.lines.size();
    text(Type::hunk, "", narrow(oldStart), narrow(newStart)); // its text is known once the lines are counted
    int64_t oldCount = 0, newCount = 0;
    auto emit = [&](const Op& op, Op::Kind kind, bool eol) {
      const GitDiffLine& line = *op.source;
      switch (kind) {
      case Op::context: copy(line, Type::context, ' '); break;
      case Op::deletion: copy(line, Type::deletion, '-'); break;
      case Op::addition: copy(line, Type::addition, '+'); break;
      case Op::other: copy(line); break;
      }
      if (!eol && op.marker) copy(*op.marker);
    };
    for (const auto& op : ops) {
      if (op.kind == Op::context && op.oldEol != op.newEol) {
        // The same text, but at the end of a file without a newline on one
        // side only: as a context line it would be wrong on the other.
        emit(op, Op::deletion, op.oldEol);
        emit(op, Op::addition, op.newEol);
      } else {
        emit(op, op.kind, op.kind == Op::addition ? op.newEol : op.oldEol);
      }
      oldCount += op.onOld();
      newCount += op.onNew();
    }
    result_.lines[headerAt].setString("@@ -" + std::to_string(oldStart) + "," + std::to_string(oldCount) + " +" +
                                      std::to_string(newStart) + "," + std::to_string(newCount) + " @@\n");
    return {oldCount, newCount};
  }

private:
  const GitDiff& source_;
  GitDiff& result_;
};

// The line before a hunk's first line on a side: git writes the start of an
// empty side as the line after which it sits.
int64_t lineBefore(int64_t start, int64_t count) { return count > 0 ? start - 1 : start; }
int64_t startAfter(int64_t before, int64_t count) { return count > 0 ? before + 1 : before; }

} // namespace

std::shared_ptr<GitDiff> GitDiffTransformer::transformedDiff() const {
  auto result = std::make_shared<GitDiff>();
  result->cached = diff->cached;
  const auto& lines = diff->lines;

  bool everything = true;
  for (const auto& hunk : diff->hunks)
    for (size_t i = hunk.linesBegin(); i < std::min(hunk.linesEnd(), lines.size()) && everything; ++i)
      if (lines[i].isSelectable() && !keepLines.count(i)) everything = false;

  // A partial selection must not create, delete or rename the file on the
  // side that is kept: it changes the file that stays there instead.
  bool rewrite = false;
  std::optional<std::string> keptPath;
  if (!everything) {
    if (!reverse && !diff->newFile.path && diff->oldFile.path) {
      rewrite = true;
      keptPath = diff->oldFile.path;
    } else if (reverse && diff->newFile.path &&
               (!diff->oldFile.path || diff->status == GitStatus::renamed || diff->status == GitStatus::copied)) {
      rewrite = true;
      keptPath = diff->newFile.path;
    }
  }

  Builder builder(*diff, *result);
  builder.header(rewrite, keptPath);

  int64_t delta = 0; // new count minus old count of the hunks emitted so far
  for (const auto& hunk : diff->hunks) {
    const size_t begin = std::min(hunk.linesBegin(), lines.size());
    const size_t end = std::min(hunk.linesEnd(), lines.size());
    std::vector<Op> ops;
    bool changed = false;
    for (size_t i = begin; i < end; ++i) {
      const GitDiffLine& line = lines[i];
      const bool selected = keepLines.count(i) > 0;
      changed = changed || selected;
      const GitDiffLine* marker =
          i + 1 < end && lines[i + 1].type == Type::noNewlineAtEOF ? &lines[i + 1] : nullptr;
      const bool eol = marker == nullptr;
      switch (line.type) {
      case Type::noNewlineAtEOF: break; // emitted with the line it belongs to
      case Type::deletion:
        if (selected) ops.push_back({Op::deletion, &line, marker, eol, true});
        else if (!reverse) ops.push_back({Op::context, &line, marker, eol, eol});
        break;
      case Type::addition:
        if (selected) ops.push_back({Op::addition, &line, marker, true, eol});
        else if (reverse) ops.push_back({Op::context, &line, marker, eol, eol});
        break;
      case Type::context: ops.push_back({Op::context, &line, marker, eol, eol}); break;
      default: ops.push_back({Op::other, &line, marker, eol, eol});
      }
    }
    if (!changed) continue;

    // Only the side being changed can end up with a line that lacks its
    // newline but is no longer last; such a line gains one.
    const bool changesNew = !reverse;
    size_t last = ops.size();
    for (size_t k = 0; k < ops.size(); ++k)
      if (changesNew ? ops[k].onNew() : ops[k].onOld()) last = k;
    for (size_t k = 0; k < last && k < ops.size(); ++k) {
      if (changesNew && ops[k].onNew()) ops[k].newEol = true;
      if (!changesNew && ops[k].onOld()) ops[k].oldEol = true;
    }

    // The unchanged side's start is exact; the changed side's follows it,
    // shifted by what the emitted hunks before it added or removed.
    int64_t oldCount = 0, newCount = 0;
    for (const auto& op : ops) {
      oldCount += op.onOld();
      newCount += op.onNew();
    }
    int64_t oldStart, newStart;
    if (!reverse) {
      oldStart = hunk.oldStart;
      newStart = startAfter(lineBefore(hunk.oldStart, oldCount) + delta, newCount);
    } else {
      newStart = hunk.newStart;
      oldStart = startAfter(lineBefore(hunk.newStart, newCount) - delta, oldCount);
    }
    auto [emittedOld, emittedNew] = builder.hunk(ops, oldStart, newStart);
    delta += emittedNew - emittedOld;
  }

  for (size_t i = 0; i < result->lines.size(); ++i) result->lines[i].index = static_cast<uint32_t>(i);
  return result;
}

} // namespace tavrik
