// Feeds arbitrary bytes to the show-head field parser (for each head file)
// and to the decoration rule. A head always ends up named, and is symbolic
// exactly when it is named after its own file. The bytes are also laid as
// the author, message and branch into well-formed output, which must give
// them back unchanged: names and messages in a legacy encoding are kept.
#include "FuzzSupport.h"
#include "tavrik/State/GitShowHeadParser.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrik;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  static const auto fields = GitShowHeadParser::defaultFormatFields();
  for (auto file : {GitHeadFile::head, GitHeadFile::origHead, GitHeadFile::mergeHead}) {
    GitBuffer buffer(input);
    auto head = GitShowHeadParser::parse(buffer, file, fields);
    check(head.refname.has_value());
    check(head.isSymbolic == (*head.refname == rawValue(file)));
  }
  auto refname = GitShowHeadParser::refnameFromDecoration(input);
  check(refname.size() <= input.size());
  check(refname.empty() || input.find(refname) != std::string_view::npos);

  std::string text(input), branch(input);
  std::replace(text.begin(), text.end(), '\0', '\n');
  for (char& c : branch)
    if (std::string_view("\0, \t->", 6).find(c) != std::string_view::npos) c = '_';
  if (branch.empty()) return 0;
  GitBuffer output(std::string(40, 'c') + '\0' + "HEAD -> " + branch + ", tag: v1" + '\0' + text + '\0' + text + '\0' +
                   "2024-01-02T10:00:00+02:00" + '\0' + text + "\n");
  auto head = GitShowHeadParser::parse(output, GitHeadFile::head, fields);
  check(head.refname == branch && head.isSymbolic == (branch == "HEAD") && head.commit);
  check(head.lastAuthor && head.lastAuthor->name == text && head.lastAuthor->email == text);
  check(head.lastMessage == text);
  return 0;
}
