// Feeds arbitrary bytes to the raw listing parser, with and without line
// counts: it must never crash, throw or read out of bounds, and every diff
// it makes must name a file. The bytes are also laid as the paths of
// well-formed records, which must give them back unchanged.
#include "FuzzSupport.h"
#include "tavrik/Diff/GitDiff.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

namespace {

void checkPathsKept(std::string path) {
  std::replace(path.begin(), path.end(), '\0', '/');
  if (path.empty()) return;
  const std::string a(40, 'a'), b(40, 'b');
  const std::string raw = ":100644 100644 " + a + " " + b + " R090" + '\0' + path + '\0' + path + "2" + '\0' +
                          ":100644 100644 " + a + " " + b + " M" + '\0' + path + '\0' + "1\t2\t" + '\0' + path +
                          '\0' + path + "2" + '\0' + "3\t4\t" + path + '\0';
  tavrik::GitBuffer buffer(raw);
  auto diffs = tavrik::GitDiff::parseRaw(buffer, false, false, false, true, std::nullopt);
  check(diffs.size() == 2);
  check(diffs[0]->oldFile.path == path && diffs[0]->newFile.path == path + "2" && diffs[0]->similarity == 90);
  check(diffs[0]->stats == (tavrik::GitDiffStats{1, 2}));
  check(diffs[1]->newFile.path == path && diffs[1]->stats == (tavrik::GitDiffStats{3, 4}));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (bool numstat : {false, true}) {
    tavrik::GitBuffer buffer(input);
    for (const auto& diff : tavrik::GitDiff::parseRaw(buffer, false, false, false, numstat, std::nullopt))
      check(diff->oldFile.path || diff->newFile.path);
  }
  checkPathsKept(std::string(input.substr(0, 64)));
  return 0;
}
