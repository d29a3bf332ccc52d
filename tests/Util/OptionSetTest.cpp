#include "tavrik/History/GitQuery.h"
#include "tavrik/Operation/GitAspects.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>

using namespace tavrik;

namespace {

std::set<int> bitsOf(uint32_t raw) {
  std::set<int> bits;
  for (int bit = 0; bit < 32; ++bit)
    if (raw & (1u << bit)) bits.insert(bit);
  return bits;
}

template <class Set> std::set<int> bitsOf(Set set) { return bitsOf(set.rawValue); }

} // namespace

// Seeded random pairs of sets, against std::set as the model.
TEST(OptionSet, SetOperationsAgreeWithSetsOfFlags) {
  std::mt19937 random(26);
  for (int round = 0; round < 500; ++round) {
    GitAspects a(random() & random()), b(random() & random());
    SCOPED_TRACE(std::to_string(a.rawValue) + " " + std::to_string(b.rawValue));
    auto sa = bitsOf(a), sb = bitsOf(b);
    std::set<int> both, either, onlyA, oneOf;
    std::set_intersection(sa.begin(), sa.end(), sb.begin(), sb.end(), std::inserter(both, both.end()));
    std::set_union(sa.begin(), sa.end(), sb.begin(), sb.end(), std::inserter(either, either.end()));
    std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::inserter(onlyA, onlyA.end()));
    std::set_symmetric_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::inserter(oneOf, oneOf.end()));
    EXPECT_EQ(bitsOf(a & b), both);
    EXPECT_EQ(bitsOf(GitAspects{a, b}), either);
    EXPECT_EQ(bitsOf(a.subtracting(b)), onlyA);
    EXPECT_EQ(bitsOf(a.symmetricDifference(b)), oneOf);
    EXPECT_EQ(a.contains(b), std::includes(sa.begin(), sa.end(), sb.begin(), sb.end()));
    EXPECT_EQ(a.isSubset(b), std::includes(sb.begin(), sb.end(), sa.begin(), sa.end()));
    EXPECT_EQ(a.containsAny(b), !both.empty());
    auto c = a;
    c.subtract(b);
    c |= b;
    EXPECT_EQ(bitsOf(c), either);
    EXPECT_EQ(a == b, sa == sb);
    EXPECT_EQ(std::hash<GitAspects>{}(a), std::hash<GitAspects>{}(GitAspects(a.rawValue)));
  }
  GitQuerySubject subject{GitQuerySubject::author, GitQuerySubject::message};
  EXPECT_TRUE(subject.contains(GitQuerySubject::author));
  EXPECT_FALSE(subject.contains(GitQuerySubject{GitQuerySubject::author, GitQuerySubject::diff}));
  EXPECT_EQ(std::hash<GitQuerySubject>{}(subject), std::hash<GitQuerySubject>{}(GitQuerySubject(17)));
}
