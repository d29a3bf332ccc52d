#include "tavrik/Diff/GitLineSelection.h"

#include "tavrik/Util/TavrikError.h"

#include <gtest/gtest.h>

using namespace tavrik;

TEST(GitLineSelection, ReadsIndexesAndRefusesOthers) {
  const std::pair<const char*, std::set<size_t>> valid[] = {
      {"3", {3}}, {"12,14-17", {12, 14, 15, 16, 17}}, {"5-5,1", {1, 5}}, {"2,2", {2}}, {"0-2", {0, 1, 2}}};
  for (const auto& [list, indexes] : valid) {
    SCOPED_TRACE(list);
    EXPECT_EQ(GitLineSelection::parse(list).indexes(18), indexes);
  }
  for (const char* list : {"", ",", "6,,7", "7-6", "x", "-6", "6-", "+6", "1-2-3", " 6", "4294967296", "6,"}) {
    SCOPED_TRACE(list);
    EXPECT_THROW(GitLineSelection::parse(list), TavrikError);
  }
  EXPECT_THROW(GitLineSelection::parse("3,17-18").indexes(18), TavrikError);
  EXPECT_THROW(GitLineSelection::parse("0").indexes(0), TavrikError);
}
