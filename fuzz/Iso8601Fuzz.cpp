// Feeds arbitrary bytes to the strict ISO 8601 parser; whatever parses must
// format back to text that parses to the same timestamp.
#include "tavrik/State/GitTimestamp.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto ts = tavrik::GitTimestamp::fromStrictISO8601(text);
  if (!ts) return 0;
  auto again = tavrik::GitTimestamp::fromStrictISO8601(ts->iso8601String());
  if (!again || !(*again == *ts)) std::abort();
  (void)ts->debugDescription();
  return 0;
}
