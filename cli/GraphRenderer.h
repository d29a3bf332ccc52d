// Draws one row of the history graph as text, from the row's lane record
// alone, so `tavrik log --graph` can print rows as the walker delivers them.
//
// Column c sits at character 2*c; the characters between columns carry the
// horizontal runs. The first line is the commit's own: its mark, the lanes
// that end at it and, when nothing is in the way, the lanes it opens to its
// parents. Lanes that move to another column get connector lines below it,
// one per column moved, and the parents' lanes then open on a line of their
// own, so no two lanes ever share a character.
#pragma once

#include "tavrik/History/Graph.h"

#include <string>
#include <vector>

namespace tavrik::cli {

/// The commit mark of the first line.
inline constexpr const char* kGraphCommitMark = "\u25CF";

/// The lines that draw `row`, all of the same width (in characters, not
/// bytes), without a final newline. With `colored`, each lane is wrapped in
/// the ANSI colour of its `color` taken modulo a palette of six.
std::vector<std::string> renderGraphRow(const GraphLaneRow& row, bool colored);

} // namespace tavrik::cli
