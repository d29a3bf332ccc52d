#include "tavrik/History/Graph.h"

#include "Support/Helpers.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

using namespace tavrik;

namespace {

Oid oid(unsigned n) {
  std::array<unsigned char, Oid::kSize> bytes{};
  bytes[0] = static_cast<unsigned char>(n >> 8);
  bytes[1] = static_cast<unsigned char>(n);
  bytes[19] = 1; // never the zero id
  return Oid(bytes);
}

GraphLane lane(int from, int to, std::optional<Oid> parent, int color, bool hidden = false) {
  return {from, to, parent, color, hidden};
}

} // namespace

TEST(Graph, LinearHistoryStaysInOneColumn) {
  Graph graph;
  auto a = graph.insert({oid(1), {oid(2)}});
  auto b = graph.insert({oid(2), {oid(3)}});
  auto c = graph.insert({oid(3), {}});
  EXPECT_EQ(a, (GraphLaneRow{0, {}, {lane(0, 0, oid(2), 0)}}));
  EXPECT_EQ(b, (GraphLaneRow{0, {lane(0, 0, std::nullopt, 0)}, {lane(0, 0, oid(3), 0)}}));
  EXPECT_EQ(c, (GraphLaneRow{0, {lane(0, 0, std::nullopt, 0)}, {}}));
  EXPECT_TRUE(graph.lanes().empty());
  EXPECT_EQ(graph.nextColor(), 1);
  EXPECT_EQ(a.laneCount(), 1u);
}

TEST(Graph, MergeOpensAColumnPerLaterParent) {
  Graph graph;
  auto m = graph.insert({oid(1), {oid(2), oid(3)}});
  EXPECT_EQ(m, (GraphLaneRow{0, {}, {lane(0, 0, oid(2), 0), lane(0, 1, oid(3), 1)}}));
  EXPECT_EQ(graph.nextColor(), 2);
}

// Lanes right of a second joining lane close up; only the leftmost joining
// lane goes on, and the lane passing by is hidden below the commit.
TEST(Graph, LanesJoiningOneCommitCloseUp) {
  Graph graph;
  graph.insert({oid(1), {oid(9)}});
  auto tip = graph.insert({oid(2), {oid(9), oid(8)}});
  EXPECT_EQ(tip, (GraphLaneRow{1, {lane(0, 0, oid(9), 0)},
                               {lane(0, 0, oid(9), 0, true), lane(1, 1, oid(9), 1), lane(1, 2, oid(8), 2)}}));
  auto joined = graph.insert({oid(9), {oid(7)}});
  EXPECT_EQ(joined.commitLane, 0);
  EXPECT_EQ(joined.lanesIn, (std::vector{lane(0, 0, std::nullopt, 0), lane(1, 0, std::nullopt, 1),
                                         lane(2, 1, oid(8), 2)}));
  EXPECT_EQ(joined.lanesOut, (std::vector{lane(0, 0, oid(7), 0), lane(1, 1, oid(8), 2, true)}));
  EXPECT_EQ(graph.nextColor(), 3);
}

// A root leaves its column empty while lanes right of it keep theirs; a tip
// after it must open a column right of them, not at the lane count.
TEST(Graph, TipAfterARootOpensAColumnRightOfEveryLane) {
  Graph graph;
  graph.insert({oid(1), {oid(2), oid(3)}});
  auto root = graph.insert({oid(2), {}});
  EXPECT_EQ(root.lanesOut, (std::vector{lane(1, 1, oid(3), 1, true)}));
  auto tip = graph.insert({oid(4), {oid(3)}});
  EXPECT_EQ(tip, (GraphLaneRow{2, {lane(1, 1, oid(3), 1)},
                               {lane(1, 1, oid(3), 1, true), lane(2, 2, oid(3), 2)}}));
  auto rootlessTip = graph.insert({oid(5), {}});
  EXPECT_EQ(rootlessTip.commitLane, 3);
  EXPECT_EQ(rootlessTip.lanesOut, (std::vector{lane(1, 1, oid(3), 1, true), lane(2, 2, oid(3), 2, true)}));
}

TEST(Graph, LayoutOfARandomHistoryHolds) {
  // Commit i's parents are all older (greater) indices, so index order is a
  // display order; many roots, tips and octopus merges.
  std::mt19937 rng(20240611);
  const unsigned count = 600;
  std::vector<GraphCommit> commits;
  std::map<Oid, unsigned> position;
  std::set<Oid> hasChild;
  for (unsigned i = 0; i < count; ++i) {
    GraphCommit c{oid(i), {}};
    unsigned parents = i + 1 == count ? 0 : std::discrete_distribution<unsigned>({1, 6, 3, 1})(rng);
    for (unsigned p = 0; p < parents; ++p) {
      unsigned parent = std::uniform_int_distribution<unsigned>(i + 1, std::min(count - 1, i + 12))(rng);
      if (std::find(c.parentIds.begin(), c.parentIds.end(), oid(parent)) != c.parentIds.end()) continue;
      c.parentIds.push_back(oid(parent));
      hasChild.insert(oid(parent));
    }
    position[c.id] = i;
    commits.push_back(c);
  }

  Graph graph;
  std::optional<GraphLaneRow> previous;
  for (unsigned n = 0; n < count; ++n) {
    SCOPED_TRACE("row " + std::to_string(n));
    const auto& commit = commits[n];
    bool awaited = std::any_of(graph.lanes().begin(), graph.lanes().end(),
                               [&](const GraphLane& l) { return l.parentId == commit.id; });
    EXPECT_EQ(awaited, hasChild.count(commit.id) == 1);
    auto row = graph.insert(commit);
    EXPECT_EQ(graph.lanes(), row.lanesOut);

    std::set<int> outColumns;
    std::set<Oid> outParents;
    for (const auto& out : row.lanesOut) {
      EXPECT_TRUE(outColumns.insert(out.to).second) << "two lanes leave in column " << out.to;
      ASSERT_TRUE(out.parentId);
      EXPECT_GT(position.at(*out.parentId), n);
      EXPECT_LT(out.color, graph.nextColor());
      outParents.insert(*out.parentId);
    }
    for (const auto& parent : commit.parentIds) EXPECT_EQ(outParents.count(parent), 1u);
    for (const auto& in : row.lanesIn) {
      if (in.parentId) EXPECT_NE(in.to, row.commitLane) << "a lane passes through the commit";
      else EXPECT_EQ(in.to, row.commitLane);
    }
    if (previous) {
      ASSERT_EQ(previous->lanesOut.size(), row.lanesIn.size());
      for (size_t i = 0; i < row.lanesIn.size(); ++i) {
        EXPECT_EQ(row.lanesIn[i].from, previous->lanesOut[i].to);
        EXPECT_EQ(row.lanesIn[i].color, previous->lanesOut[i].color);
      }
    }
    previous = std::move(row);
  }
  EXPECT_TRUE(graph.lanes().empty());
}

TEST(Graph, HashAgreesWithEquality) {
  tavrik::testing::expectHashAgreesWithEquality(std::vector{
      lane(0, 0, oid(1), 0), lane(0, 0, oid(1), 0), lane(1, 0, oid(1), 0), lane(0, 1, oid(1), 0),
      lane(0, 0, oid(2), 0), lane(0, 0, std::nullopt, 0), lane(0, 0, oid(1), 1), lane(0, 0, oid(1), 0, true)});
  const std::vector<GraphLane> one{lane(0, 0, oid(1), 0)};
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GraphLaneRow>{
      {0, {}, one}, {0, {}, one}, {1, {}, one}, {0, one, one}, {0, one, {}}, {0, {}, {}}});
}
