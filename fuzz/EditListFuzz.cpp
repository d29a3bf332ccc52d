// Feeds arbitrary instruction lists to the rebase editor with a plan made
// from the same bytes. The rewrite may change verbs and order but never
// drops, adds or splits an instruction: the result has exactly the input's
// lines that are neither empty nor comments.
#include "FuzzSupport.h"
#include "tavrik/Rebase/GitEditor.h"
#include "tavrik/Util/StringUtilities.h"

#include <cstdlib>
#include <string>

using tavrik::fuzz::check;

namespace {

class FuzzEditor : public tavrik::GitEditor {
public:
  explicit FuzzEditor(tavrik::GitRebaseRequest request) : request_(std::move(request)) {}
  std::map<std::string, std::string> editorEnvironment() const override { return {}; }
  std::optional<tavrik::GitRebaseRequest> rebaseRequest() override { return request_; }
  void finishEditing() override {}

private:
  tavrik::GitRebaseRequest request_;
};

size_t instructionCount(std::string_view list) {
  size_t count = 0;
  for (auto line : tavrik::splitPieces(list, '\n')) {
    size_t first = line.find_first_not_of(" \t\r");
    count += first != std::string_view::npos && line[first] != '#';
  }
  return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string list(reinterpret_cast<const char*>(data), size);
  tavrik::GitRebaseRequest request;
  // Each byte picks a verb for an id made of its hex digits.
  for (size_t i = 0; i < size && i < 8; ++i) {
    char hex[41];
    for (int d = 0; d < 40; ++d) hex[d] = "0123456789abcdef"[(data[i] >> (d % 2 ? 0 : 4)) & 15];
    hex[40] = 0;
    auto verb = static_cast<tavrik::GitRebaseAction::Verb>(data[i] % 7);
    request.actions.push_back({verb, *tavrik::Oid::parse(hex)});
    if (i == 1) request.move = tavrik::GitRebaseRequest::Move{*tavrik::Oid::parse(hex),
                                                              data[i] & 1 ? tavrik::GitRebaseRequest::MovePosition::above
                                                                          : tavrik::GitRebaseRequest::MovePosition::below};
  }
  FuzzEditor editor(request);
  std::string edited = list;
  if (editor.processEditList(edited)) {
    check(instructionCount(edited) == instructionCount(list));
  } else {
    check(edited == list);
  }
  return 0;
}
