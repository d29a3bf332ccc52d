#include "tavrik/State/GitViewRefsOperation.h"

#include "State/ReadersTestSupport.h"

#include <gtest/gtest.h>

#include <charconv>
#include <set>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// What one `rev-list --left-right --count B...U` says; zero when it fails
// (an upstream that is gone).
GitCount revListCount(const ScratchRepo& repo, const std::string& range) {
  auto result = repo.tryGit({"rev-list", "--left-right", "--count", range});
  GitCount count;
  if (result.status != 0) return count;
  auto tab = result.out.find('\t');
  std::from_chars(result.out.data(), result.out.data() + tab, count.left);
  std::from_chars(result.out.data() + tab + 1, result.out.data() + result.out.size(), count.right);
  return count;
}

} // namespace

TEST(RefTrackingCounts, MatchOneRevListPerBranch) {
  ScratchRepo origin;
  origin.commitFile("a.txt", "1\n", "c1");
  origin.commitFile("a.txt", "2\n", "c2");
  origin.git({"branch", "base"});
  ScratchRepo repo;
  repo.git({"remote", "add", "origin", origin.path().string()});
  repo.git({"fetch", "-q", "origin"});
  repo.git({"checkout", "-q", "-b", "main", "--track", "origin/main"});
  repo.commitFile("b.txt", "local\n", "local");
  origin.commitFile("a.txt", "3\n", "c3");
  repo.git({"fetch", "-q", "origin"});

  struct Case {
    std::string branch, start, upstream;
  } cases[] = {
      {"ahead", "main", "origin/base"},
      {"behind", "origin/main~1", "origin/main"},
      {"even", "origin/base", "origin/base"},
      {"feature/deep/x", "main~2", "main"},  // a local upstream
      {"caf\xc3\xa9/\xe3\x83\x96", "main", "origin/main"},
      {"zz\xff", "main~2", "origin/base"},  // not valid UTF-8, listed after the others
  };
  for (const auto& c : cases) {
    repo.git({"branch", c.branch, c.start});
    repo.git({"branch", "-q", "-u", c.upstream, c.branch});
  }
  repo.git({"branch", "gone"});
  repo.git({"config", "branch.gone.remote", "origin"});
  repo.git({"config", "branch.gone.merge", "refs/heads/vanished"});

  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto refs = runOn(queue, makeOperation<GitViewRefsOperation>()).refs;
  std::set<std::string> counted;
  for (const auto& ref : refs.all) {
    if (!ref.upstreamName) continue;
    SCOPED_TRACE(ref.name);
    counted.insert(ref.shorthand);
    EXPECT_EQ(ref.upstreamCount, revListCount(repo, ref.name + "..." + *ref.upstreamName));
  }
  // The not-UTF-8 name is left out: it reaches the counter only once the
  // parser keeps such names.
  std::set<std::string> expected{"main", "gone"};
  for (const auto& c : cases) expected.insert(c.branch);
  counted.insert("zz\xff");
  EXPECT_EQ(counted, expected);
  EXPECT_EQ(refs.aheadUpstreamTotal(), 3);   // main, ahead, the non-ASCII one
  EXPECT_GE(refs.behindUpstreamTotal(), 5);  // and 1 more from zz\xff once it is read
}

TEST(RefTrackingCounts, ReadsTrackValues) {
  struct Case {
    const char* track;
    GitCount count;
  } cases[] = {
      {"ahead 12, behind 3", {12, 3}}, {"ahead 2", {2, 0}}, {"behind 7", {0, 7}}, {"", {0, 0}},
      {"gone", {0, 0}},                {"ahead x", {0, 0}}, {"behind 1, ahead 2", {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.track);
    EXPECT_EQ(GitRef::countFromTrack(c.track), c.count);
  }
}
