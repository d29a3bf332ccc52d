#include "tavrik/Queue/GitAspects.h"

#include <gtest/gtest.h>

using tavrik::GitAspects;

TEST(GitAspects, DebugDescriptionNamesTheTableEntriesInOrder) {
  struct Case {
    uint32_t raw;
    const char* text;
  };
  const Case cases[] = {
      {0x0, "<GitAspects >"},
      {0x3, "<GitAspects head, status>"},
      {0x40, "<GitAspects queueTasks>"},
      {0x8 | 0x80, "<GitAspects logDescriptor, config>"},
      {0x100, "<GitAspects >"},       // submodules has no name
      {0x200 | 0x4, "<GitAspects refs>"}, // nor has reflogs
      {0x3FF, "<GitAspects head, status, refs, logDescriptor, stashes, stateFiles, queueTasks, config>"},
      {0xFFFFFFFF, "<GitAspects all, head, status, refs, logDescriptor, stashes, stateFiles, queueTasks, config>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(GitAspects(c.raw).debugDescription(), c.text);
  }
}

TEST(GitAspects, SetAlgebra) {
  GitAspects a{GitAspects::head, GitAspects::refs};
  EXPECT_EQ(a.rawValue, 0x5u);
  EXPECT_TRUE(a.contains(GitAspects::head));
  EXPECT_FALSE(a.contains(GitAspects{GitAspects::head, GitAspects::status}));
  EXPECT_TRUE(a.containsAny(GitAspects{GitAspects::head, GitAspects::status}));
  EXPECT_FALSE(a.containsAny(GitAspects::status));
  EXPECT_EQ(a.subtracting(GitAspects::refs), GitAspects::head);
  EXPECT_EQ(a.symmetricDifference(GitAspects{GitAspects::refs, GitAspects::config}).rawValue, 0x81u);
  EXPECT_TRUE(GitAspects::head.isSubset(a));
  EXPECT_TRUE(a.isSuperset(GitAspects::refs));
  EXPECT_TRUE(GitAspects{}.isEmpty());
  GitAspects b;
  b.insert(GitAspects::stashes);
  b.formUnion(GitAspects::reflogs);
  b.remove(GitAspects::stashes);
  EXPECT_EQ(b, GitAspects::reflogs);
  EXPECT_TRUE(GitAspects::all.contains(GitAspects{0x12345678}));
}
