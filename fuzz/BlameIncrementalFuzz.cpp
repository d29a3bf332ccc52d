// Feeds arbitrary bytes to the blame parser, whole and cut at a point the
// input chooses: it must never crash, and both ways must agree, since git's
// output reaches it in chunks cut anywhere. Every range it yields has a
// commit and lines.
#include "FuzzSupport.h"
#include "History/GitBlameParser.h"
#include "tavrik/Util/TavrikError.h"

#include <optional>
#include <string>
#include <vector>

using tavrik::fuzz::check;

namespace {

std::optional<std::vector<tavrik::GitBlameRange>> parse(std::string_view input, size_t cut) {
  tavrik::detail::GitBlameParser parser;
  try {
    auto ranges = parser.feed(input.substr(0, cut));
    auto rest = parser.feed(input.substr(cut));
    ranges.insert(ranges.end(), rest.begin(), rest.end());
    return ranges;
  } catch (const tavrik::TavrikError&) {
    return std::nullopt;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = size ? data[0] % (size + 1) : 0;
  auto whole = parse(input, size);
  auto split = parse(input, cut);
  check(whole.has_value() == split.has_value());
  if (whole) {
    check(*whole == *split);
    for (const auto& range : *whole) check(range.commit && range.lineCount > 0 && range.finalLine > 0);
  }
  return 0;
}
