#include "ArborSupport.h"
#include "Interfaces/Plumbing.h"
#include "Support/RandomSeeds.h"
#include "tavrik/Interfaces/ArborError.h"

#include <random>

using namespace arbor;
using namespace arbor::testing;
using tavrik::testing::runProgram;
using tavrik::testing::runScript;
using tavrik::testing::ScratchRepo;
using tavrik::testing::TempDir;

// A ref transaction in process ends as git's `update-ref --stdin` ends on a
// copy of the same repository: all of it done, or, where git refuses (a
// lease that fails, a new name whose folder is a ref or that is a ref's
// folder, even one deleted beside it), nothing. Loose and packed refs; the
// in-process listing of the result is for-each-ref's.
TEST(Plumbing, RefTransactionsEndAsGitsDo) {
  Repo::initializeLibrary();
  const char* names[] = {"refs/heads/a", "refs/heads/a/b", "refs/heads/a/b/c", "refs/heads/b", "refs/tags/a/x"};
  ScratchRepo repo;
  const std::string ids[] = {repo.commitFile("f", "1\n", "one"), repo.commitFile("f", "2\n", "two")};
  const std::string zero(40, '0');
  size_t refused = 0, done = 0;
  for (unsigned seed : tavrik::testing::randomSeeds({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](size_t n) { return size_t(random() % n); };
    runScript("git for-each-ref --format='delete %(refname)' refs/heads/a refs/heads/b refs/tags | git update-ref --stdin",
              repo.path());
    // Starting refs that git can hold together: "a" or those under it.
    if (pick(2)) repo.git({"update-ref", "refs/heads/a", ids[pick(2)]});
    else if (pick(2)) repo.git({"update-ref", "refs/heads/a/b", ids[pick(2)]});
    if (pick(2)) repo.git({"update-ref", "refs/heads/b", ids[pick(2)]});
    if (pick(2)) repo.git({"pack-refs", "--all"});
    std::vector<plumbing::RefUpdate> updates;
    std::string lines;
    for (size_t count = 1 + pick(3); count > 0; --count) {
      const std::string name = names[pick(std::size(names))];
      const std::string current = repo.tryGit({"rev-parse", "--verify", "-q", name}).out.substr(0, 40);
      // Now and then a lease that does not hold.
      const std::string lease = pick(6) == 0 ? ids[pick(2)] : current.empty() ? zero : current;
      if (pick(3) == 0 && !current.empty()) {
        updates.push_back({.name = name, .newId = std::nullopt, .oldId = oidOf(lease == zero ? current : lease)});
        lines += "delete " + name + " " + (lease == zero ? current : lease) + "\n";
      } else {
        const std::string value = ids[pick(2)];
        updates.push_back({.name = name, .newId = oidOf(value), .oldId = lease == zero ? Oid::zero : oidOf(lease)});
        lines += "update " + name + " " + value + " " + lease + "\n";
      }
    }
    // Two names in one transaction git refuses outright; so does libgit2.
    bool twice = false;
    for (size_t i = 0; i < updates.size(); ++i)
      for (size_t j = 0; j < i; ++j) twice = twice || updates[i].name == updates[j].name;
    if (twice) continue;
    TempDir copy;
    runScript("cp -a . '" + copy.path().string() + "/repo'", repo.path());
    const tavrik::testing::GitDir other(copy.path() / "repo");
    bool inProcess = true;
    try {
      plumbing::updateRefs(Repo::openAtPath(repo.path().string()), updates);
    } catch (const Error&) {
      inProcess = false;
    }
    other.write(".git/lines", lines);
    const bool withGit = runProgram({"sh", "-c", "git update-ref --stdin < .git/lines"}, other.path()).status == 0;
    EXPECT_EQ(inProcess, withGit) << lines;
    EXPECT_EQ(repo.git({"for-each-ref"}), other.git({"for-each-ref"})) << lines;
    // The list the journal reads is for-each-ref's, a ref to a missing object included.
    if (seed % 4 == 0) other.write(".git/refs/heads/broken", std::string(40, '1') + "\n");
    std::string listed;
    for (const auto& ref : plumbing::forEachRef(Repo::openAtPath(other.path().string())))
      listed += ref.id.string() + " " + ref.name + "\n";
    EXPECT_EQ(listed, other.git({"for-each-ref", "--format=%(objectname) %(refname)"}));
    (inProcess ? done : refused) += 1;
  }
  EXPECT_GT(refused, 0u);
  EXPECT_GT(done, 0u);
}
