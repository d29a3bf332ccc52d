#include "tavrik/Diff/GitExecApplyOperation.h"

#include "tavrik/Diff/GitDiffTransformer.h"
#include "tavrik/Util/TavrikError.h"

namespace tavrik {

std::vector<std::string> GitExecApplyOperation::arguments(GitOperationContext&) {
  // Pinned: apply.whitespace=fix would change the staged bytes and =error
  // refuse lines with trailing blanks; apply.ignoreWhitespace would let the
  // context match other lines.
  std::vector<std::string> args{"-c", "apply.whitespace=nowarn", "-c", "apply.ignoreWhitespace=no", "apply"};
  if (cached) args.push_back("--cached");
  if (reverse) args.push_back("--reverse");
  args.insert(args.end(), {"--unidiff-zero", "-"});
  return args;
}

std::optional<std::string> GitExecApplyOperation::standardInputData() {
  return GitDiffTransformer(diff, reverse, keepLines).transformedDiff()->formatPatch();
}

void GitExecApplyOperation::validate(GitOperationContext&) {
  if (!diff) throw TavrikError("Nothing to apply", "No diff was given.");
  for (size_t i : keepLines)
    if (i < diff->lines.size() && diff->lines[i].isSelectable()) return;
  throw TavrikError("Nothing to apply", "The selection holds no added or deleted line of the file.");
}

std::optional<std::vector<std::string>> GitExecApplyOperation::journalPaths() const {
  if (!diff) return std::nullopt;
  std::vector<std::string> paths;
  for (const auto* file : {&diff->oldFile, &diff->newFile})
    if (file->path && (paths.empty() || paths.front() != *file->path)) paths.push_back(*file->path);
  if (paths.empty()) return std::nullopt;
  return paths;
}

} // namespace tavrik
