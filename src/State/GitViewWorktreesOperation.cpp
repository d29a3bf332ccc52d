#include "tavrik/State/GitViewWorktreesOperation.h"

namespace tavrik {

std::vector<std::string> GitViewWorktreesOperation::arguments(GitOperationContext&) {
  return {"worktree", "list", "--porcelain", "-z"};
}

std::vector<GitWorktree> GitViewWorktreesOperation::execute(GitOperationContext& context) {
  runCommand(context);
  return parse(stdOutBuffer->remaining());
}

std::vector<GitWorktree> GitViewWorktreesOperation::parse(std::string_view data) {
  std::vector<GitWorktree> worktrees;
  // Null between records: attributes outside one are skipped.
  GitWorktree* current = nullptr;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\0', start);
    if (end == std::string_view::npos) end = data.size();
    const std::string_view line = data.substr(start, end - start);
    start = end + 1;
    const size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view value = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (key == "worktree" && space != std::string_view::npos) {
      current = &worktrees.emplace_back();
      current->path = std::string(value);
      continue;
    }
    if (line.empty()) {
      current = nullptr;
      continue;
    }
    if (!current) continue;
    if (key == "HEAD") {
      auto id = Oid::parse(value);
      // An unborn branch shows the all-zero id: no commit is checked out.
      if (id && !id->isZero()) current->head = id;
    } else if (key == "branch" && !value.empty()) {
      current->branch = std::string(value);
    } else if (line == "detached") {
      current->isDetached = true;
    } else if (line == "bare") {
      current->isBare = true;
    } else if (key == "locked") {
      current->isLocked = true;
      current->lockReason = std::string(value);
    } else if (key == "prunable") {
      current->isPrunable = true;
      current->prunableReason = std::string(value);
    }
  }
  return worktrees;
}

} // namespace tavrik
