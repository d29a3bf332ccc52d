// Feeds arbitrary bytes to the reader of `git worktree list --porcelain -z`
// output. It never throws, makes no more worktrees than "worktree " records,
// and each path is one NUL-free piece of the input; the bytes laid as the
// path of a well-formed record (NULs taken out) come back unchanged, with the
// record's lock reason.
#include "FuzzSupport.h"
#include "tavrik/State/GitViewWorktreesOperation.h"

#include <algorithm>
#include <string>

using tavrik::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavrik;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto worktrees = GitViewWorktreesOperation::parse(input);
  check(worktrees.size() <= static_cast<size_t>(std::count(input.begin(), input.end(), '\0')) + 1);
  for (const auto& w : worktrees) {
    check(w.path.find('\0') == std::string::npos && input.find(w.path) != std::string_view::npos);
    check(!w.isLocked ? w.lockReason.empty() : true);
  }

  std::string path(input);
  path.erase(std::remove(path.begin(), path.end(), '\0'), path.end());
  const std::string record = "worktree " + path + '\0' + "HEAD " + std::string(40, 'c') + '\0' + "detached" + '\0' +
                             "locked " + path + '\0' + '\0';
  const auto round = GitViewWorktreesOperation::parse(record + record);
  check(round.size() == 2 && round[1].path == path && round[1].isDetached && round[1].isLocked &&
        round[1].lockReason == path && round[1].head.has_value() && !round[1].branch);
  return 0;
}
