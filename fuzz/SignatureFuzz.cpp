// Feeds arbitrary bytes to the readers of signature statuses: git's
// "%H %G? %GS %GK" records and verify-tag's raw output. Neither throws; each
// record read names an id, and a signer and key are pieces of the input. A
// well-formed record laid around the input (NULs taken out) reads back whole.
#include "FuzzSupport.h"
#include "tavrik/History/GitSignature.h"

#include <algorithm>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrik;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (auto records = GitVerifyCommitsOperation::parse(input)) {
    check(records->size() * 4 <= static_cast<size_t>(std::count(input.begin(), input.end(), '\0')));
    for (const auto& [id, status] : *records)
      check(input.find(status.signer) != std::string_view::npos && input.find(status.key) != std::string_view::npos);
  }
  for (int exitStatus : {0, 1}) {
    const auto status = GitVerifyTagOperation::parseVerifyOutput(input, exitStatus);
    check(input.find(status.signer) != std::string_view::npos && input.find(status.key) != std::string_view::npos);
  }

  std::string text(input);
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  const std::string record = std::string(40, 'a') + '\0' + "U" + '\0' + text + '\0' + text + '\0';
  const auto round = GitVerifyCommitsOperation::parse(record + record);
  check(round && round->size() == 2 && (*round)[1].second.signer == text && (*round)[1].second.key == text &&
        (*round)[1].second.verdict == GitSignatureVerdict::unknownValidity);
  return 0;
}
