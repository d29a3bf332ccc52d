// Feeds arbitrary bytes to the history walk's record and change parsers:
// they must never crash or read out of bounds. The bytes are also laid as the names and the
// message of a well-formed record, which must give them back unchanged, and
// split into a text and a needle for the search's case-insensitive
// containment, which must agree with lower-casing both and searching.
#include "FuzzSupport.h"
#include "History/GitCommitStream.h"
#include "History/GitQueryMatcher.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

namespace {

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tavrik::detail::GitCommitStream;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  (void)GitCommitStream::parseRecord(input);
  // A change listing: its header, path and second path split at NULs.
  {
    auto first = input.find('\0');
    auto second = first == std::string_view::npos ? first : input.find('\0', first + 1);
    auto header = input.substr(0, first);
    auto path = first == std::string_view::npos ? std::string_view() : input.substr(first + 1, second - first - 1);
    auto secondPath = second == std::string_view::npos ? std::string_view() : input.substr(second + 1);
    if (auto change = GitCommitStream::parseChange(header, path, secondPath)) check(!change->path.empty());
  }

  std::string text(input);
  std::replace(text.begin(), text.end(), '\0', ' ');
  const std::string id(40, 'c');
  const std::string record = id + '\0' + id + '\0' + id + '\0' + text + '\0' + text + '\0' + "0 +0000" + '\0' + text +
                             '\0' + text + '\0' + "4102444800 -1200" + '\0' + text;
  auto commit = GitCommitStream::parseRecord(record);
  check(commit && commit->author.name == text && commit->committer.email == text && commit->message == text);
  check(commit->parentIds.size() == 1 && commit->committer.offsetMinutes == -720);
  const std::string header = ":100644 100644 " + id + " " + std::string(40, 'd') + " R087";
  if (!text.empty()) {
    auto moved = GitCommitStream::parseChange(header, text, text + "2");
    check(moved && moved->oldPath == text && moved->path == text + "2" && moved->oldMode == 0100644);
  }

  const size_t cut = size ? data[0] % (size + 1) : 0;
  const std::string haystack(input.substr(0, cut));
  const std::string needle = asciiLower(input.substr(cut));
  const bool expected = asciiLower(haystack).find(needle) != std::string::npos;
  check(tavrik::detail::GitQueryMatcher::containsCaseless(haystack, needle) == expected);
  return 0;
}
