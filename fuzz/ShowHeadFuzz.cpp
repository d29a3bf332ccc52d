// Feeds arbitrary bytes to the show-head field parser (for each head file)
// and to the decoration rule. A head always ends up named, and is symbolic
// exactly when it is named after its own file.
#include "tavrik/State/GitShowHeadParser.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrik;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  static const auto fields = GitShowHeadParser::defaultFormatFields();
  for (auto file : {GitHeadFile::head, GitHeadFile::origHead, GitHeadFile::mergeHead}) {
    GitBuffer buffer(input);
    auto head = GitShowHeadParser::parse(buffer, file, fields);
    if (!head.refname) abort();
    if (head.isSymbolic != (*head.refname == rawValue(file))) abort();
  }
  auto refname = GitShowHeadParser::refnameFromDecoration(input);
  if (refname.size() > input.size()) abort();
  if (!refname.empty() && input.find(refname) == std::string_view::npos) abort();
  return 0;
}
