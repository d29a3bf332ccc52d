// Feeds arbitrary bytes to the for-each-ref line parser. Every reference it
// makes must have come from a line with the full field count and carry a
// name and a target.
#include "tavrik/State/GitRefParser.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto fieldNames = tavrik::GitRefParser::defaultFieldNames();
  tavrik::GitBuffer buffer(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const auto& ref : tavrik::GitRefParser::parse(buffer, fieldNames)) {
    if (ref.name.empty() || !ref.target || !ref.commit || !ref.creatorDate) abort();
  }
  return 0;
}
