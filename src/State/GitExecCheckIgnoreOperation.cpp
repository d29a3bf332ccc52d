#include "tavrik/State/GitExecCheckIgnoreOperation.h"

#include "tavrik/Util/StringUtilities.h"

namespace tavrik {

namespace {

// git ends each record with a NUL; the pieces between are the paths.
std::vector<std::string> records(std::string_view output) {
  std::vector<std::string> paths;
  for (auto piece : splitPieces(output, '\0'))
    if (!piece.empty()) paths.emplace_back(piece);
  return paths;
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
  return records(stdOutBuffer->remaining());
}

std::vector<std::string> GitExecIgnoredFoldersOperation::arguments(GitOperationContext&) {
  return {"ls-files", "-z", "--others", "--ignored", "--exclude-standard", "--directory"};
}

std::vector<std::string> GitExecIgnoredFoldersOperation::execute(GitOperationContext& context) {
  runCommand(context);
  std::vector<std::string> folders;
  for (auto& entry : records(stdOutBuffer->remaining()))
    if (entry.size() > 1 && entry.back() == '/') folders.push_back(entry.substr(0, entry.size() - 1));
  return folders;
}

} // namespace tavrik
