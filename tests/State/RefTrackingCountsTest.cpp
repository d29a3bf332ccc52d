#include "tavrik/State/GitViewRefsOperation.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;

// Diverged, ahead, behind, even, gone, a local upstream, slashes, non-ASCII
// and not-UTF-8 names; remote "o" is the repository itself.
const char* kBranches = R"sh(c() { n=$((n+1)); git commit -q --allow-empty -m "c$n"; }
c; c; git branch base; c; git branch up; git checkout -q -b side base; c
git remote add o . && git fetch -q o && git branch -q -u o/up side
t() { git branch "$1" "$2" && git branch -q -u "$3" "$1"; }
t ahead side o/base; t behind base o/up; t even up o/up; t feature/deep/x base main
t "$(printf 'caf\303\251/\343\203\226')" side main; t "$(printf 'zz\377')" base o/up
git branch gone && git config branch.gone.remote o && git config branch.gone.merge refs/heads/vanished)sh";

TEST(RefTrackingCounts, MatchOneRevListPerBranch) {
  ScratchRepo repo;
  ASSERT_EQ(runProgram({"/bin/sh", "-ec", kBranches}, repo.path()).status, 0);
  const GitRefList refs = *runOn(makeReaderQueue(worktreeDescriptor(repo.path())), makeOperation<GitViewRefsOperation>());
  size_t counted = 0;
  for (const auto& ref : refs.all) {
    if (!ref.upstreamName) continue;
    auto git = repo.tryGit({"rev-list", "--left-right", "--count", ref.name + "..." + *ref.upstreamName});
    auto count = std::to_string(ref.upstreamCount.left) + "\t" + std::to_string(ref.upstreamCount.right) + "\n";
    EXPECT_EQ(count, git.status ? "0\t0\n" : git.out) << ref.name;  // a gone upstream fails rev-list
    ++counted;
  }
  EXPECT_EQ(counted, 8u);
  EXPECT_EQ(refs.aheadUpstreamTotal(), 3);
}
