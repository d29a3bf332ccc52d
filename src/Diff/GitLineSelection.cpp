#include "tavrik/Diff/GitLineSelection.h"

#include "tavrik/Util/TavrikError.h"

#include <charconv>
#include <cstdint>

namespace tavrik {

GitLineSelection GitLineSelection::parse(std::string_view list) {
  const TavrikError invalid("Invalid line selection \"" + std::string(list) + "\"",
                            "Give line indexes as the patch numbers them, like 12,14-17.");
  auto number = [&](std::string_view digits) {
    // from_chars takes a sign; an index has none.
    uint32_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || digits.front() == '-' || error != std::errc() || end != digits.data() + digits.size())
      throw invalid;
    return size_t(value);
  };
  GitLineSelection selection;
  std::string_view rest = list;
  while (true) {
    const auto comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    const auto dash = piece.find('-');
    const size_t first = number(piece.substr(0, dash));
    const size_t last = dash == std::string_view::npos ? first : number(piece.substr(dash + 1));
    if (last < first) throw invalid;
    selection.ranges.emplace_back(first, last);
    if (comma == std::string_view::npos) return selection;
    rest.remove_prefix(comma + 1);
  }
}

std::set<size_t> GitLineSelection::indexes(size_t lineCount) const {
  std::set<size_t> chosen;
  for (auto [first, last] : ranges) {
    if (last >= lineCount)
      throw TavrikError("Invalid line selection: line " + std::to_string(last) + " is out of range",
                        "The patch has only " + std::to_string(lineCount) + " lines, numbered from 0.");
    for (size_t i = first; i <= last; ++i) chosen.insert(i);
  }
  return chosen;
}

} // namespace tavrik
