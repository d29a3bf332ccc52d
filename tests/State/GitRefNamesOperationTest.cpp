#include "tavrik/State/GitRefNamesOperation.h"

#include "Support/Helpers.h"
#include "Support/RandomSeeds.h"

#include <map>
#include <random>

using namespace tavrik;
using namespace tavrik::testing;

// Seeded mixes of branches, tags (of tags, trees and blobs), symbolic refs,
// loose and packed refs, names that are not UTF-8 and a detached HEAD: the
// names read in process are the full reader's, peeled as `show-ref -d` peels.
TEST(GitRefNamesOperation, ListsWhatTheFullReaderListsPeeledAsGitPeels) {
  const std::vector<std::string> steps{
      "git branch b$n main~$((n % 3))", "git tag t$n main~$((n % 3))", "git tag -a -m m a$n main~$((n % 2))",
      "git tag -a -m m a$n HEAD && git -c advice.nestedTag=false tag -a -m m nested$n a$n",
      "git tag tree$n 'HEAD^{tree}' && git tag -a -m m blob$n HEAD:f",
      "git update-ref refs/remotes/origin/r$n main~1 && "
      "git symbolic-ref refs/remotes/origin/HEAD refs/remotes/origin/r$n",
      "git branch \"$(printf 'caf\\351')$n\"", "git pack-refs --all",
      "m=$(git rev-parse main) && git update-ref refs/heads/main main~1 && git update-ref refs/heads/main $m",
      "git checkout -q --detach main~1", "git checkout -q main", "git update-ref refs/tavrik/journal/$n HEAD",
      "git commit -q --allow-empty -m more"};
  for (unsigned seed : randomSeeds({1, 2, 3, 4, 5, 6})) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    ScratchRepo repo;
    std::string script = "echo 1 > f && git add f && git commit -qm 1 && git commit -q --allow-empty -m 2 && "
                         "git commit -q --allow-empty -m 3";
    for (int n = 0; n < 14; ++n) script += " && n=" + std::to_string(n) + " && " + steps[random() % steps.size()];
    runScript(script, repo.path());
    std::map<std::string, std::string> peeled; // the peeled line follows its ref's
    for (const auto& line : split(repo.git({"show-ref", "-d"}), '\n')) {
      if (line.size() <= 41) continue;
      peeled[line.substr(41, line.size() - 41 - (line.ends_with("^{}") ? 3 : 0))] = line.substr(0, 40);
    }

    auto queue = readerQueue(repo);
    const GitRefList full = *runOn(queue, makeOperation<GitViewRefsOperation>());
    const GitRefList names = *runOn(queue, makeOperation<GitRefNamesOperation>());
    auto fields = [](const GitRef& r) {
      return std::tuple(r.name, r.shorthand, r.type, r.isHead, r.symbolicTarget, r.target);
    };
    ASSERT_EQ(names.all.size(), full.all.size());
    for (size_t i = 0; i < full.all.size(); ++i) {
      EXPECT_EQ(fields(names.all[i]), fields(full.all[i]));
      ASSERT_TRUE(names.all[i].commit);
      EXPECT_EQ(names.all[i].commit->string(), peeled[full.all[i].name]) << full.all[i].name;
    }
    EXPECT_EQ(names.head ? names.head->name : "", full.head ? full.head->name : "");
  }
}
