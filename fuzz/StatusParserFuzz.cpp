// Feeds arbitrary bytes to the porcelain v2 status parser: it must never
// crash, throw, read out of bounds or loop forever, and every entry it makes
// must carry a path. The bytes are also laid as the path (and a rename's
// source) into well-formed records of every type, which must give back
// exactly those bytes: paths are bytes to git, valid UTF-8 or not.
#include "FuzzSupport.h"
#include "tavrik/State/GitStatusParser.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

namespace {

void checkPathsKept(std::string path) {
  std::replace(path.begin(), path.end(), '\0', '/');
  if (path.empty()) return;
  const std::string id(40, 'a'), modes = " N... 100644 100644 100644 ";
  const std::string records = "1 .M" + modes + id + " " + id + " " + path + '\0' + "2 R." + modes + id + " " + id +
                              " R90 " + path + '\0' + path + '\0' + "u UU N... 100644 100644 100644 100644 " + id +
                              " " + id + " " + id + " " + path + '\0' + "? " + path + '\0' + "! " + path + '\0';
  tavrik::GitBuffer buffer(records);
  auto entries = tavrik::GitStatusParser::parse(buffer);
  check(entries.size() == 5);
  for (const auto& entry : entries) check(entry.newPath == path);
  check(entries[1].oldPath == path && entries[1].score == 90);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  tavrik::GitBuffer buffer(input);
  size_t previous = buffer.offset();
  while (!buffer.atEnd()) {
    auto entry = tavrik::GitStatusParser::parseRecord(buffer);
    check(buffer.offset() > previous);  // progress
    previous = buffer.offset();
    check(!entry || entry->newPath);
  }
  checkPathsKept(std::string(input));
  return 0;
}
