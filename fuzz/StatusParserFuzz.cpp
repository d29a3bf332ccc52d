// Feeds arbitrary bytes to the porcelain v2 status parser: it must never
// crash, read out of bounds or loop forever, and every entry it makes must
// carry a path.
#include "tavrik/State/GitStatusParser.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tavrik::GitBuffer buffer(std::string_view(reinterpret_cast<const char*>(data), size));
  size_t previous = buffer.offset();
  while (!buffer.atEnd()) {
    auto entry = tavrik::GitStatusParser::parseRecord(buffer);
    if (buffer.offset() <= previous) abort();  // no progress
    previous = buffer.offset();
    if (entry && !entry->newPath) abort();
  }
  return 0;
}
