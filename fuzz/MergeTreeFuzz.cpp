// Feeds arbitrary bytes to the reader of `git merge-tree --write-tree
// --name-only -z --messages` output. It throws only TavrikError, never reads
// more paths or conflicts than there are fields, and a record built around
// the input as a path comes back with that path unchanged.
#include "FuzzSupport.h"
#include "tavrik/Commands/ConflictPrediction.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrik;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t fields = size_t(std::count(input.begin(), input.end(), '\0')) + 1;
  try {
    auto result = parseMergeTreeOutput(input, size % 2 == 0);
    check(result.conflictedPaths.size() + result.conflicts.size() <= fields);
    for (const auto& conflict : result.conflicts) check(conflict.rawKind.starts_with("CONFLICT"));
  } catch (const TavrikError&) {
  }

  // The input, cut at its first NUL, as a conflicted path of a real record.
  std::string path(input.substr(0, input.find('\0')));
  if (path.empty()) return 0;
  const std::string record = std::string(40, 'b') + '\0' + path + '\0' + '\0' + "1" + '\0' + path + '\0' +
                             "CONFLICT (contents)" + '\0' + "CONFLICT (add/add): Merge conflict in x\n" + '\0';
  auto parsed = parseMergeTreeOutput(record, false);
  check(parsed.conflictedPaths == std::vector<std::string>{path});
  check(parsed.conflicts.size() == 1 && parsed.conflicts[0].paths == std::vector<std::string>{path} &&
        parsed.conflicts[0].kind == GitConflictKind::addAdd);
  return 0;
}
