#include "GraphRenderer.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace tavrik::cli {
namespace {

enum : unsigned { kUp = 1, kDown = 2, kLeft = 4, kRight = 8 };

struct Cell {
  unsigned edges = 0;
  /// Drawn instead of the edges: the commit mark and the diagonals.
  const char* glyph = nullptr;
  int color = -1;
};

const char* boxGlyph(unsigned edges) {
  switch (edges) {
  case kUp | kLeft: return "\u256F";                  // ╯
  case kUp | kRight: return "\u2570";                 // ╰
  case kDown | kLeft: return "\u256E";                // ╮
  case kDown | kRight: return "\u256D";               // ╭
  case kUp | kDown | kLeft: return "\u2524";          // ┤
  case kUp | kDown | kRight: return "\u251C";         // ├
  case kUp | kLeft | kRight: return "\u2534";         // ┴
  case kDown | kLeft | kRight: return "\u252C";       // ┬
  case kUp | kDown | kLeft | kRight: return "\u253C"; // ┼
  case kLeft:
  case kRight:
  case kLeft | kRight: return "\u2500"; // ─
  default: return "\u2502";             // │
  }
}

int ansiColor(int color) {
  static constexpr int kPalette[] = {31, 32, 33, 34, 35, 36};
  constexpr int n = sizeof kPalette / sizeof kPalette[0];
  return kPalette[((color % n) + n) % n];
}

class Canvas {
public:
  explicit Canvas(int columns) : cells_(static_cast<size_t>(std::max(1, 2 * columns - 1))) {}

  /// Edges at a column's character. A line that runs up or down gives the
  /// cell its colour, so a lane crossed by another keeps its own.
  void edges(int column, unsigned bits, int color) {
    Cell& cell = at(2 * column);
    cell.edges |= bits;
    if (bits & (kUp | kDown)) cell.color = color;
    else if (cell.color < 0) cell.color = color;
  }
  void vertical(int column, int color) { edges(column, kUp | kDown, color); }
  /// The horizontal run strictly between two columns.
  void run(int a, int b, int color) {
    for (int position = 2 * std::min(a, b) + 1; position < 2 * std::max(a, b); ++position) {
      Cell& cell = at(position);
      cell.edges |= kLeft | kRight;
      if (cell.color < 0) cell.color = color;
    }
  }
  /// A horizontal run from `a` to `b` that turns at `b` with `turn` (up or down).
  void turnInto(int a, int b, unsigned turn, int color) {
    if (a == b) return;
    run(a, b, color);
    edges(b, turn | (b > a ? kLeft : kRight), color);
  }
  void glyph(int position, const char* glyph, int color) {
    Cell& cell = at(position);
    cell.glyph = glyph;
    cell.color = color;
  }

  std::string text(bool colored) const {
    std::string out;
    int current = -1;
    for (const auto& cell : cells_) {
      const bool empty = !cell.glyph && cell.edges == 0;
      if (colored && !empty && cell.color != current) {
        current = cell.color;
        out += "\033[" + std::to_string(ansiColor(current)) + "m";
      }
      out += empty ? " " : cell.glyph ? cell.glyph : boxGlyph(cell.edges);
    }
    if (colored && current >= 0) out += "\033[0m";
    return out;
  }

private:
  Cell& at(int position) { return cells_[static_cast<size_t>(position)]; }
  std::vector<Cell> cells_;
};

// A lane that passes the commit by: its column at the row's top and bottom.
struct Track {
  int top = 0;
  int bottom = 0;
  int color = 0;
};

} // namespace

std::vector<std::string> renderGraphRow(const GraphLaneRow& row, bool colored) {
  const int commit = row.commitLane;
  int columns = commit + 1;
  for (const auto* lanes : {&row.lanesIn, &row.lanesOut})
    for (const auto& lane : *lanes) columns = std::max({columns, lane.from + 1, lane.to + 1});

  // Lanes leaving the commit's own mark; hidden ones only pass it by.
  auto fromCommit = [&](const GraphLane& lane) { return !lane.hidden && lane.from == commit; };
  std::optional<int> continuing; // colour of the lane going straight down from the mark
  std::vector<GraphLane> opened; // lanes to parents that start off in another column
  for (const auto& lane : row.lanesOut) {
    if (!fromCommit(lane)) continue;
    if (lane.to == commit) continuing = continuing.value_or(lane.color);
    else opened.push_back(lane);
  }

  // Each lane passing by is followed from its top through the commit's level
  // to its bottom: the halves of one lane share the middle column.
  std::vector<Track> tracks;
  std::vector<bool> matched(row.lanesOut.size(), false);
  for (const auto& lane : row.lanesIn) {
    if (!lane.parentId) continue;
    Track track{lane.from, lane.to, lane.color};
    for (size_t i = 0; i < row.lanesOut.size(); ++i) {
      const auto& out = row.lanesOut[i];
      if (matched[i] || fromCommit(out) || out.from != lane.to) continue;
      matched[i] = true;
      track.bottom = out.to;
      break;
    }
    tracks.push_back(track);
  }
  for (size_t i = 0; i < row.lanesOut.size(); ++i)
    if (!matched[i] && !fromCommit(row.lanesOut[i]))
      tracks.push_back({row.lanesOut[i].from, row.lanesOut[i].to, row.lanesOut[i].color});

  int markColor = continuing.value_or(opened.empty() ? 0 : opened.front().color);
  for (const auto& lane : row.lanesIn)
    if (!lane.parentId) {
      markColor = lane.color;
      break;
    }

  int shiftLines = 0;
  for (const auto& track : tracks) shiftLines = std::max(shiftLines, std::abs(track.bottom - track.top));
  // On the commit's line the passing lanes stand at their top columns; a
  // parent's lane opening there must not end on one of them.
  bool openBelow = shiftLines > 0;
  for (const auto& lane : opened)
    for (const auto& track : tracks) openBelow = openBelow || lane.to == track.top;

  std::vector<std::string> lines;
  Canvas first(columns);
  for (const auto& lane : row.lanesIn)
    if (!lane.parentId) first.turnInto(commit, lane.from, kUp, lane.color);
  if (!openBelow)
    for (const auto& lane : opened) first.turnInto(commit, lane.to, kDown, lane.color);
  for (const auto& track : tracks) first.vertical(track.top, track.color);
  first.glyph(2 * commit, kGraphCommitMark, markColor);
  lines.push_back(first.text(colored));

  // Moving lanes go one column per line, each on a diagonal between two
  // columns, so lanes moving side by side never touch.
  for (int step = 1; step <= shiftLines; ++step) {
    Canvas line(columns);
    if (continuing || (openBelow && !opened.empty())) line.vertical(commit, continuing.value_or(markColor));
    for (const auto& track : tracks) {
      const int distance = std::abs(track.bottom - track.top);
      if (step > distance) {
        line.vertical(track.bottom, track.color);
      } else if (track.bottom < track.top) {
        line.glyph(2 * (track.top - step) + 1, "\u2571", track.color); // ╱
      } else {
        line.glyph(2 * (track.top + step - 1) + 1, "\u2572", track.color); // ╲
      }
    }
    lines.push_back(line.text(colored));
  }

  if (openBelow && !opened.empty()) {
    Canvas line(columns);
    line.edges(commit, kUp | (continuing ? kDown : 0u), continuing.value_or(markColor));
    for (const auto& lane : opened) {
      line.turnInto(commit, lane.to, kDown, lane.color);
      line.edges(commit, lane.to > commit ? kRight : kLeft, lane.color);
    }
    for (const auto& track : tracks) line.vertical(track.bottom, track.color);
    lines.push_back(line.text(colored));
  }
  return lines;
}

} // namespace tavrik::cli
