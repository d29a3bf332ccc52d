// Feeds arbitrary bytes to the `git branch` listing parser. Every branch it
// makes must have a name that lies inside one input line, without a line
// end, and no more branches than lines. A name made of the input's bytes
// (without spaces, line ends or the markers) laid into a listing line must
// come back as it was: branch names are bytes to git.
#include "FuzzSupport.h"
#include "tavrik/Commands/BranchCommands.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto list = tavrik::GitExecBranchOperation::parseBranchList(input);
  check(list.branches.size() <= static_cast<size_t>(std::count(input.begin(), input.end(), '\n')) + 1);
  for (const auto& branch : list.branches) {
    check(!branch.name.empty() && branch.name.find('\n') == std::string::npos);
    check(input.find(branch.name) != std::string_view::npos);
  }

  std::string name;
  for (char c : input)
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t' && c != '*') name += c;
  if (name.empty() || name.front() == '+') return 0;
  auto round = tavrik::GitExecBranchOperation::parseBranchList("* " + name + "\n");
  check(round.branches.size() == 1 && round.branches[0].name == name && round.branches[0].isHead);
  return 0;
}
