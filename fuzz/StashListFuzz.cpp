// Feeds arbitrary bytes to the reader of `git stash list -z` output. It never
// throws, reads no more entries than there are records, and each entry's
// index is its selector's or its position; the bytes laid as the message of
// a well-formed record come back unchanged.
#include "FuzzSupport.h"
#include "tavrik/State/GitViewStashesOperation.h"
#include "tavrik/Util/StringUtilities.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrik;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  static const auto fields = GitViewStashesOperation().formatFields;
  GitBuffer buffer(input);
  auto list = GitViewStashesOperation::parse(buffer, fields);
  const size_t records = size_t(std::count(input.begin(), input.end(), '\0')) + 1;
  check(list.entries.size() <= records / (fields.size() + 1) + 1);
  for (const auto& entry : list.entries) {
    check(entry.index >= 0);
    check(entry.stashRefname().starts_with("stash@{"));
  }

  std::string spaced(input);
  std::replace(spaced.begin(), spaced.end(), '\0', ' ');
  // Messages are trimmed of Unicode white space, vertical tabs included.
  const std::string message = trimmed(spaced);
  if (message.empty()) return 0;
  const std::string id(40, 'a'), date = "2024-01-02T10:00:00+02:00";
  std::string record = "stash@{7}";
  for (auto field : fields) {
    record += '\0';
    switch (field) {
    case GitFormatField::commitHash:
    case GitFormatField::treeHash:
    case GitFormatField::parentHashes:
      record += id;
      break;
    case GitFormatField::authorDateStrictISO8601:
    case GitFormatField::committerDateStrictISO8601:
      record += date;
      break;
    case GitFormatField::rawBody:
      record += message;
      break;
    default:
      record += "x";
    }
  }
  GitBuffer output(record + '\0');
  auto parsed = GitViewStashesOperation::parse(output, fields);
  check(parsed.entries.size() == 1 && parsed.entries[0].index == 7 && parsed.entries[0].message == message);
  return 0;
}
