#include "tavrik/State/GitExecCheckIgnoreOperation.h"

namespace tavrik {

namespace {

std::vector<std::string> splitAtNul(std::string_view bytes) {
  std::vector<std::string> records;
  while (!bytes.empty()) {
    auto end = bytes.find('\0');
    auto record = bytes.substr(0, end);
    if (!record.empty()) records.emplace_back(record);
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  return records;
}

} // namespace

std::vector<std::string> GitExecCheckIgnoreOperation::arguments(GitOperationContext&) {
  // Without --no-index tracked files are not reported: a change to one always counts.
  return {"check-ignore", "-z", "--stdin"};
}

std::optional<std::string> GitExecCheckIgnoreOperation::standardInputData() {
  std::string input;
  for (auto& path : paths) {
    input += path;
    input.push_back('\0');
  }
  return input;
}

std::vector<std::string> GitExecCheckIgnoreOperation::execute(GitOperationContext& context) {
  if (paths.empty()) return {};
  runCommand(context);
  return splitAtNul(stdOutBuffer->remaining());
}

std::vector<std::string> GitExecIgnoredFoldersOperation::arguments(GitOperationContext&) {
  return {"ls-files", "-z", "--others", "--ignored", "--exclude-standard", "--directory"};
}

std::vector<std::string> GitExecIgnoredFoldersOperation::execute(GitOperationContext& context) {
  runCommand(context);
  std::vector<std::string> folders;
  for (auto& entry : splitAtNul(stdOutBuffer->remaining()))
    if (entry.size() > 1 && entry.back() == '/') folders.push_back(entry.substr(0, entry.size() - 1));
  return folders;
}

} // namespace tavrik
