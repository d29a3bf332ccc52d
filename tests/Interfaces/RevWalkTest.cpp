#include "ArborSupport.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/RevWalk.h"

#include <map>
#include <set>

using namespace arbor;
using namespace arbor::testing;

namespace {

std::vector<Oid> walkAll(RevWalk& walk) {
  std::vector<Oid> out;
  while (auto oid = walk.next()) out.push_back(*oid);
  return out;
}

std::vector<Oid> gitOrder(std::vector<std::string> args) {
  args.insert(args.begin(), "rev-list");
  args.push_back("--");
  return oidLines(work().git(args));
}

} // namespace

// The scenario's side and topic lines interleave in time, so git's
// --date-order and --topo-order differ: topological with time is the first,
// topological alone the second; parents never come before their children.
TEST(RevWalk, OrdersAsGitRevListDoes) {
  Repo repo = openWork();
  RevWalk walk(repo);
  walk.setSorting(Sort::topological | Sort::time);
  walk.pushHead();
  auto order = walkAll(walk);
  EXPECT_EQ(order, gitOrder({"--date-order", "HEAD"}));
  EXPECT_NE(order, gitOrder({"--topo-order", "HEAD"}));
  std::map<Oid, size_t> position;
  for (size_t i = 0; i < order.size(); ++i) EXPECT_TRUE(position.emplace(order[i], i).second) << "repeated commit";
  for (const Oid& id : order)
    for (const Oid& parent : Commit::lookup(id, repo).parentIds) EXPECT_LT(position[id], position.at(parent));

  struct Case {
    Sort sort;
    std::vector<std::string> push;
    std::vector<std::string> revList;
    bool reversed;
  } cases[] = {
      {Sort::topological, {"HEAD"}, {"--topo-order", "HEAD"}, false},
      {Sort::topological | Sort::time | Sort::reverse, {"HEAD"}, {"--date-order", "HEAD"}, true},
      {Sort::topological | Sort::time, {"topic"}, {"--date-order", "topic"}, false},
      {Sort::topological | Sort::time, {"refs/heads/side", "topic"}, {"--date-order", "side", "topic"}, false},
      {Sort::topological | Sort::time, {"HEAD", "^side"}, {"--date-order", "HEAD", "^side"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.revList.back());
    walk.setSorting(c.sort);
    for (const auto& name : c.push) {
      if (name == "HEAD") walk.pushHead();
      else if (name[0] == '^') walk.hide(oidOf(work().rev(name.substr(1))));
      else walk.pushRef(name);
    }
    auto expected = gitOrder(c.revList);
    if (c.reversed) std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(walkAll(walk), expected);
  }
}

TEST(RevWalk, UnknownReferenceOrUnbornHeadFails) {
  Repo repo = openWork();
  RevWalk walk(repo);
  try {
    walk.pushRef("no-such-branch");
    FAIL() << "pushed a reference that does not exist";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), Error::Code::notFound);
  }
  walk.pushRef("main"); // still usable
  EXPECT_TRUE(walk.next());
  tavrik::testing::ScratchRepo empty;
  Repo emptyRepo = Repo::openAtPath(empty.path().string());
  RevWalk unborn(emptyRepo);
  EXPECT_THROW(unborn.pushHead(), Error);
  EXPECT_FALSE(unborn.next());
}
