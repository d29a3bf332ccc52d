#include "ArborTestHelpers.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Interfaces/RevWalk.h"

#include <gtest/gtest.h>
#include <map>
#include <set>

using arbor::Oid;
using arbor::Repo;
using arbor::RevWalk;
using arbor::Sort;
using namespace arbor::testing;
using tavrik::testing::ScratchRepo;

namespace {

// A history with two merges and interleaved commit times:
//
//   A - B ------- E - M1 - G - M2     main
//    \           /         /
//     S1 - S2 - S3        /           side
//      \                 /
//       T1 ------------ T2            topic
struct MergeHistory {
  ScratchRepo scratch;
  int clock = 0;

  std::string commit(const std::string& file) {
    setGitDates("2024-03-01T10:" + std::string(clock < 10 ? "0" : "") + std::to_string(clock) + ":00+00:00");
    ++clock;
    return scratch.commitFile(file, file + std::to_string(clock), "commit " + file + std::to_string(clock));
  }
  void merge(const std::string& branch) {
    setGitDates("2024-03-01T10:" + std::string(clock < 10 ? "0" : "") + std::to_string(clock) + ":00+00:00");
    ++clock;
    scratch.git({"merge", "-q", "--no-ff", "-m", "merge " + branch, branch});
  }

  MergeHistory() {
    commit("a");
    scratch.git({"checkout", "-q", "-b", "side"});
    commit("s");
    scratch.git({"checkout", "-q", "-b", "topic"});
    commit("t");
    scratch.git({"checkout", "-q", "main"});
    commit("b");
    scratch.git({"checkout", "-q", "side"});
    commit("s");
    scratch.git({"checkout", "-q", "main"});
    commit("e");
    scratch.git({"checkout", "-q", "side"});
    commit("s");
    scratch.git({"checkout", "-q", "topic"});
    commit("t");
    scratch.git({"checkout", "-q", "main"});
    merge("side");
    commit("g");
    merge("topic");
  }
};

std::vector<Oid> walkAll(RevWalk& walk) {
  std::vector<Oid> out;
  while (auto oid = walk.next()) out.push_back(*oid);
  return out;
}

} // namespace

// Topological with time sorting is git's --date-order: parents never before
// their children, otherwise newest commit first. With the interleaved dates of
// this history it differs from --topo-order, which keeps lines together.
TEST(RevWalk, TopologicalTimeOrderMatchesGitDateOrderAndPutsChildrenFirst) {
  MergeHistory h;
  Repo repo = Repo::openAtPath(h.scratch.path().string());
  auto gitOrder = [&](const char* option) {
    std::vector<Oid> out;
    for (auto& line : lines(h.scratch.git({"rev-list", option, "HEAD"}))) out.push_back(oidOf(line));
    return out;
  };

  RevWalk walk(repo);
  walk.setSorting(Sort::topological | Sort::time);
  walk.pushHead();
  auto order = walkAll(walk);
  ASSERT_EQ(order.size(), 11u);
  EXPECT_EQ(order, gitOrder("--date-order"));
  EXPECT_NE(order, gitOrder("--topo-order")); // the history really tells the two apart

  std::map<Oid, size_t> position;
  for (size_t i = 0; i < order.size(); ++i) EXPECT_TRUE(position.emplace(order[i], i).second) << "repeated commit";
  for (const Oid& id : order) {
    for (const Oid& parent : arbor::Commit::lookup(id, repo).parentIds) {
      ASSERT_TRUE(position.count(parent));
      EXPECT_LT(position[id], position[parent]) << id.string() << " after its parent " << parent.string();
    }
  }

  // Topological alone is git's --topo-order.
  RevWalk topo(repo);
  topo.setSorting(Sort::topological);
  topo.pushHead();
  EXPECT_EQ(walkAll(topo), gitOrder("--topo-order"));

  RevWalk reversed(repo);
  reversed.setSorting(Sort::topological | Sort::time | Sort::reverse);
  reversed.pushHead();
  EXPECT_EQ(walkAll(reversed), std::vector<Oid>(order.rbegin(), order.rend()));
}

TEST(RevWalk, PushesReferencesByShortOrFullName) {
  MergeHistory h;
  Repo repo = Repo::openAtPath(h.scratch.path().string());
  auto revList = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"rev-list", "--topo-order"});
    std::set<Oid> out;
    for (auto& line : lines(h.scratch.git(args))) out.insert(oidOf(line));
    return out;
  };

  RevWalk walk(repo);
  walk.setSorting(Sort::topological | Sort::time);
  walk.pushRef("topic");
  auto topic = walkAll(walk);
  EXPECT_EQ(std::set<Oid>(topic.begin(), topic.end()), revList({"topic"}));
  EXPECT_EQ(topic.size(), 4u);

  walk.reset();
  walk.pushRef("refs/heads/side");
  walk.pushRef("topic");
  auto both = walkAll(walk);
  EXPECT_EQ(std::set<Oid>(both.begin(), both.end()), revList({"side", "topic"}));
  EXPECT_EQ(both.size(), 6u);

  walk.reset();
  walk.pushHead();
  walk.hide(oidOf(h.scratch.git({"rev-parse", "side"})));
  auto hidden = walkAll(walk);
  EXPECT_EQ(std::set<Oid>(hidden.begin(), hidden.end()), revList({"HEAD", "^side"}));
  EXPECT_FALSE(walk.next());
}

TEST(RevWalk, UnknownReferenceFailsWithNotFound) {
  MergeHistory h;
  Repo repo = Repo::openAtPath(h.scratch.path().string());
  RevWalk walk(repo);
  try {
    walk.pushRef("no-such-branch");
    FAIL() << "pushed a reference that does not exist";
  } catch (const arbor::Error& error) {
    EXPECT_EQ(error.code(), arbor::Error::Code::notFound);
  }
  // The walk is still usable after the failure.
  walk.pushRef("main");
  EXPECT_TRUE(walk.next());
}

TEST(RevWalk, EmptyRepositoryHasNoHeadToPush) {
  ScratchRepo scratch;
  Repo repo = Repo::openAtPath(scratch.path().string());
  RevWalk walk(repo);
  EXPECT_THROW(walk.pushHead(), arbor::Error);
  EXPECT_FALSE(walk.next());
}

TEST(RevWalk, SortIsAThirtyTwoBitFlagSet) {
  Sort both = Sort::topological | Sort::time;
  EXPECT_TRUE(both.contains(Sort::topological));
  EXPECT_TRUE(both.contains(Sort::time));
  EXPECT_FALSE(both.contains(Sort::reverse));
  EXPECT_EQ(both & Sort::time, Sort::time);
  EXPECT_NE(Sort::topological.rawValue, Sort::time.rawValue);
  static_assert(sizeof(Sort::rawValue) == 4);
}
