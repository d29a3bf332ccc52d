// Feeds arbitrary bytes to the for-each-ref line parser. Every reference it
// makes must have come from a line with the full field count and carry a
// name and a target (a tag of a blob or a tree has no date, so none is
// required). The bytes are also laid as the name into a well-formed line,
// which must give back exactly those bytes (tabs, line ends and NULs, which
// no ref name holds, made "/"): ref names are bytes to git. As
// the worktree path of a NUL-ended record, the bytes (NULs taken out) come
// back whole, tabs and line ends included.
#include "FuzzSupport.h"
#include "tavrik/State/GitRefParser.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto fieldNames = tavrik::GitRefParser::defaultFieldNames();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  tavrik::GitBuffer buffer(input);
  for (const auto& ref : tavrik::GitRefParser::parse(buffer, fieldNames))
    check(!ref.name.empty() && ref.target && ref.commit);

  static const auto withPath = [] {
    auto names = tavrik::GitRefParser::defaultFieldNames();
    names.push_back("worktreepath");
    return names;
  }();
  std::string path(input);
  path.erase(std::remove(path.begin(), path.end(), '\0'), path.end());
  const std::string record = "*\t" + std::string(40, 'b') + "\t\trefs/heads/x\t\t\t\t\t\t" + path + '\0' + '\n';
  tavrik::GitBuffer records(record + record);
  auto withPaths = tavrik::GitRefParser::parse(records, withPath);
  check(withPaths.size() == 2 && withPaths[1].worktreePath == (path.empty() ? std::nullopt : std::optional(path)));

  std::string name(input);
  for (char& c : name)
    if (c == '\t' || c == '\n' || c == '\r' || c == '\0') c = '/';
  if (name.empty()) return 0;
  const std::string id(40, 'b');
  for (const char* date : {"2024-01-02T10:00:00+02:00", ""}) {
    tavrik::GitBuffer line("*\t" + id + "\t\t" + name + "\t\t\t\t\t" + date + "\n");
    auto refs = tavrik::GitRefParser::parse(line, fieldNames);
    check(refs.size() == 1 && refs[0].name == name && refs[0].isHead && refs[0].creatorDate.has_value() == (*date != 0));
  }
  return 0;
}
