// The names read in process against the full reader and git's own peeling,
// over seeded random mixes of branches, tags (of tags, trees and blobs),
// symbolic refs, loose and packed refs, names that are not UTF-8 and a
// detached HEAD.
#include "tavrik/State/GitRefNamesOperation.h"

#include "Support/Helpers.h"
#include "Support/RandomSeeds.h"

#include <map>
#include <random>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// What `show-ref -d` peels each name to: the last object of its tag chain.
std::map<std::string, std::string> peeledByGit(const GitDir& repo) {
  std::map<std::string, std::string> peeled;
  for (const auto& line : split(repo.git({"show-ref", "-d"}), '\n')) {
    if (line.size() < 42) continue;
    std::string name = line.substr(41);
    if (name.ends_with("^{}")) name.resize(name.size() - 3);
    peeled[name] = line.substr(0, 40); // the peeled line follows its ref
  }
  return peeled;
}

} // namespace

TEST(GitRefNamesOperation, ListsWhatTheFullReaderListsPeeledAsGitPeels) {
  const std::vector<std::string> steps{
      "git branch b$n main~$((n % 3))",
      "git tag t$n main~$((n % 3))",
      "git tag -a -m m a$n main~$((n % 2))",
      "git tag -a -m m a$n HEAD && git -c advice.nestedTag=false tag -a -m m nested$n a$n",
      "git tag tree$n 'HEAD^{tree}' && git tag -a -m m blob$n HEAD:f",
      "git update-ref refs/remotes/origin/r$n main~1 && git symbolic-ref refs/remotes/origin/HEAD refs/remotes/origin/r$n",
      "git branch \"$(printf 'caf\\351')$n\"",
      "git pack-refs --all",
      "m=$(git rev-parse main) && git update-ref refs/heads/main main~1 && git update-ref refs/heads/main $m",
      "git checkout -q --detach main~1",
      "git checkout -q main",
      "git update-ref refs/tavrik/journal/$n HEAD",
      "git commit -q --allow-empty -m more"};
  for (unsigned seed : randomSeeds({1, 2, 3, 4, 5, 6})) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    ScratchRepo repo;
    std::string script = "echo 1 > f && git add f && git commit -qm 1 && git commit -q --allow-empty -m 2 && "
                         "git commit -q --allow-empty -m 3";
    for (int n = 0; n < 14; ++n)
      script += " && n=" + std::to_string(n) + " && " + steps[random() % steps.size()];
    runScript(script, repo.path());

    auto queue = readerQueue(repo);
    const GitRefList full = *runOn(queue, makeOperation<GitViewRefsOperation>());
    const GitRefList names = *runOn(queue, makeOperation<GitRefNamesOperation>());
    const auto peeled = peeledByGit(repo);
    ASSERT_EQ(names.all.size(), full.all.size());
    for (size_t i = 0; i < full.all.size(); ++i) {
      const GitRef& want = full.all[i];
      const GitRef& got = names.all[i];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(got.name, want.name);
      EXPECT_EQ(got.shorthand, want.shorthand);
      EXPECT_EQ(got.type, want.type);
      EXPECT_EQ(got.isHead, want.isHead);
      EXPECT_EQ(got.symbolicTarget, want.symbolicTarget);
      EXPECT_EQ(got.target, want.target);
      ASSERT_TRUE(got.commit);
      EXPECT_EQ(got.commit->string(), peeled.at(want.name));
    }
    ASSERT_EQ(names.head.has_value(), full.head.has_value());
    if (full.head) {
      EXPECT_EQ(names.head->name, full.head->name);
    }
  }
}
