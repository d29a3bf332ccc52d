// Feeds arbitrary bytes to the reader of `git config -z --list` and to the
// key lookup. Every record is kept whatever its bytes, so every key of the
// input is found; a key is found again in any case of its section and
// variable name, and canonical keys stay canonical.
#include "FuzzSupport.h"
#include "tavrik/State/GitConfigSnapshot.h"
#include "tavrik/State/GitViewExecConfigOperation.h"

#include <cctype>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

namespace {

std::string uppercased(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrik;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  GitBuffer buffer(input);
  auto values = GitViewExecConfigOperation::parse(buffer);

  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    auto record = input.substr(start, end - start);
    if (!record.empty()) check(values.count(std::string(record.substr(0, record.find('\n')))) == 1);
    start = end + 1;
  }

  GitConfigSnapshot snapshot(values);
  for (const auto& [key, value] : values) {
    const auto canonical = GitConfigSnapshot::canonicalKey(key);
    check(GitConfigSnapshot::canonicalKey(canonical) == canonical);
    check(canonical.size() == key.size());
    // git prints keys canonical; then every spelling of them finds the value.
    if (canonical != key) continue;
    check(snapshot.value(key) == value);
    auto firstDot = key.find('.'), lastDot = key.rfind('.');
    if (firstDot == std::string::npos) continue;
    std::string shouted = uppercased(key.substr(0, firstDot)) + key.substr(firstDot, lastDot - firstDot) +
                          uppercased(key.substr(lastDot));
    check(snapshot.value(shouted) == value);
  }
  return 0;
}
