#include "tavrik/State/GitExecRevListCountOperation.h"

#include "tavrik/Util/TavrikError.h"

#include <charconv>

namespace tavrik {

GitExecRevListCountOperation::GitExecRevListCountOperation(const Oid& commit, std::optional<int64_t> maxCount)
    : commitish(commit.string()), maxCount(maxCount) {}

GitExecRevListCountOperation::GitExecRevListCountOperation(std::string left, std::string right,
                                                           std::optional<int64_t> maxCount)
    : commitish(left + "..." + right), maxCount(maxCount), leftRight(true),
      callerRevisions_{std::move(left), std::move(right)} {}

std::vector<std::string> GitExecRevListCountOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"rev-list", "--count"};
  if (leftRight) args.push_back("--left-right");
  if (maxCount) {
    args.push_back("-n");
    args.push_back(std::to_string(*maxCount));
  }
  args.push_back(commitish);
  // A working-tree file named like a revision must not make it ambiguous.
  args.push_back("--");
  return args;
}

GitCount GitExecRevListCountOperation::parseCount(GitBuffer& buffer, bool leftRight) {
  auto line = buffer.scanToEOL().value_or(std::string_view());
  std::vector<int64_t> numbers;
  size_t start = 0;
  while (start <= line.size()) {
    size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) tab = line.size();
    auto part = line.substr(start, tab - start);
    int64_t value = 0;
    auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    // A part that is not wholly a number is left out, as git never writes one.
    if (ec == std::errc() && end == part.data() + part.size() && !part.empty()) numbers.push_back(value);
    start = tab + 1;
  }
  if (leftRight && numbers.size() == 2) return GitCount{numbers[0], numbers[1]};
  if (!numbers.empty()) return GitCount{numbers[0], 0};
  return GitCount::zero;
}

GitCount GitExecRevListCountOperation::execute(GitOperationContext& context) {
  for (const auto& revision : callerRevisions_) TavrikError::refuseOptionLikeRevision(revision);
  runCommand(context);
  return parseCount(*stdOutBuffer, leftRight);
}

std::vector<std::string> GitExecStatusChangeCountOperation::arguments(GitOperationContext&) {
  return {"status", "-z", "--porcelain"};
}

int64_t GitExecStatusChangeCountOperation::countRecords(GitBuffer& buffer) {
  int64_t count = 0;
  while (auto record = buffer.scanToNull()) count += !record->empty();
  return count;
}

int64_t GitExecStatusChangeCountOperation::execute(GitOperationContext& context) {
  const auto* descriptor = context.effectiveDescriptor();
  if (!descriptor || descriptor->isBare) return 0;
  runCommand(context);
  return countRecords(*stdOutBuffer);
}

} // namespace tavrik
