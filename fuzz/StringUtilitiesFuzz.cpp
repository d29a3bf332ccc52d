// Feeds arbitrary bytes to every text utility. The input is cut at the first
// NUL byte into a text and a second argument (prefix or home directory).
#include "Util/TextScalars.h"
#include "tavrik/Util/GitMessage.h"
#include "tavrik/Util/StringUtilities.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\0');
  std::string_view text = input.substr(0, cut);
  std::string_view other = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);

  std::string t = tavrik::trimmed(text);
  require(t.size() <= text.size());
  require(text.find(t) != std::string_view::npos);
  require(tavrik::trimmed(t) == t);

  auto n = tavrik::nilOnEmpty(text);
  require(n.has_value() == !text.empty());
  require(tavrik::quoted(text).size() == text.size() + 2);

  std::string subject = tavrik::gitSubject(text);
  require(t.compare(0, subject.size(), subject) == 0);

  std::string branch = tavrik::gitSanitizedBranchName(text);
  require(branch.size() <= text.size());

  std::string home(other);
  tavrik::expandingTildeInPath(text, home);
  tavrik::expandingTildeInPath(text, std::nullopt);
  std::string abbreviated = tavrik::abbreviatingWithTildeInPath(text, home);
  require(abbreviated.size() <= text.size() || home.empty());

  std::string dropped = tavrik::dropPrefix(text, other);
  require(dropped == text || (dropped.size() + other.size() == text.size() && text.substr(other.size()) == dropped));

  tavrik::hasDiffableImageExtension(text);

  tavrik::GitMessage message(text);
  std::string pretty = message.prettify();
  require(pretty.empty() || pretty.back() == '\n');
  require(tavrik::GitMessage(pretty).prettify() == pretty || pretty.empty());

  for (size_t pos = 0; pos <= text.size(); ++pos) tavrik::detail::isCharacterBoundary(text, pos);
  return 0;
}
