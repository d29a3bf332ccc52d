// Feeds arbitrary bytes to the patch parser: it must never crash, throw or
// read out of bounds, and the parsed diffs must give back every byte (with a
// newline added to a cut-off last line). Bytes of the input also choose a
// selection of lines, forward or reverse, for the staging transformer: its
// patch must hold only lines of the source and hunk headers whose counts
// match the lines after them.
#include "FuzzSupport.h"
#include "tavrik/Diff/GitDiff.h"
#include "tavrik/Diff/GitDiffTransformer.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

namespace {

// Every "@@ -a,b +c,d @@" the transformer writes announces its lines.
void checkCounts(const tavrik::GitDiff& patch) {
  using T = tavrik::GitDiffLineType;
  bool inHunk = false;
  int oldLeft = 0, newLeft = 0;
  for (const auto& line : patch.lines) {
    if (line.type == T::hunk) {
      check(oldLeft == 0 && newLeft == 0);
      int oldStart, oldCount, newStart, newCount;
      const std::string text(line.string());
      check(std::sscanf(text.c_str(), "@@ -%d,%d +%d,%d @@", &oldStart, &oldCount, &newStart, &newCount) == 4);
      oldLeft = oldCount;
      newLeft = newCount;
      inHunk = true;
    } else if (inHunk && line.type == T::deletion) {
      --oldLeft;
    } else if (inHunk && line.type == T::addition) {
      --newLeft;
    } else if (inHunk && line.type != T::noNewlineAtEOF) {
      --oldLeft, --newLeft;
    }
  }
  check(oldLeft == 0 && newLeft == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  tavrik::GitBuffer buffer(input);
  auto diffs = tavrik::GitDiff::parsePatch(buffer, false, false, false, std::nullopt);
  std::string again;
  for (const auto& diff : diffs) {
    again += diff->formatPatch();
    for (const auto& hunk : diff->hunks) check(hunk.rangeBegin < hunk.rangeEnd && hunk.rangeEnd <= diff->lines.size());
    for (size_t i = 0; i < diff->lines.size(); ++i) check(diff->lines[i].index == i);
  }
  check(again == input + (input.empty() || input.back() == '\n' ? "" : "\n"));

  for (const auto& diff : diffs) {
    std::set<size_t> keep;
    for (size_t i = 0; i < diff->lines.size(); ++i)
      if (data[(i * 7) % size] & 1) keep.insert(i);
    for (bool reverse : {false, true}) {
      auto patch = tavrik::GitDiffTransformer(diff, reverse, keep).transformedDiff();
      checkCounts(*patch);
    }
  }
  return 0;
}
