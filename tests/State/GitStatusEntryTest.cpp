#include "tavrik/State/GitStatusEntry.h"

#include "Support/HashTesting.h"

#include <gtest/gtest.h>

using namespace tavrik;
using S = GitStatus;

namespace {
GitStatusEntry ordinary(S x, S y, std::string path) {
  GitStatusEntry e;
  e.index = x;
  e.worktree = y;
  e.oldPath = path;
  e.newPath = path;
  e.modeHead = e.modeIndex = e.modeWorktree = 100644;
  return e;
}
GitStatusEntry renamed(std::string from, std::string to) {
  GitStatusEntry e = ordinary(S::renamed, S::unmodified, to);
  e.oldPath = from;
  e.score = 100;
  return e;
}
GitStatusEntry untracked(std::string path) {
  GitStatusEntry e;
  e.index = e.worktree = S::untracked;
  e.newPath = path;
  return e;
}
GitStatusEntry unmerged(std::string path) {
  GitStatusEntry e;
  e.index = e.worktree = S::unmerged;
  e.oldPath = e.newPath = path;
  e.modeStage1 = e.modeStage2 = e.modeStage3 = e.modeWorktree = 100644;
  e.oidStage1 = e.oidStage2 = e.oidStage3 = Oid::zero;
  return e;
}
using Paths = std::set<std::string>;
} // namespace

TEST(GitStatus, RawLettersRoundTripAndOthersAreRejected) {
  const std::string letters = ".MADRCU?!TX";
  for (char c : letters) {
    auto s = gitStatusFromRawValue(c);
    ASSERT_TRUE(s) << c;
    EXPECT_EQ(rawValue(*s), c);
  }
  for (char c : std::string("mN -Z\0u", 7)) EXPECT_FALSE(gitStatusFromRawValue(c)) << int(c);
  EXPECT_EQ(toString(S::typechange), "typechange");
  EXPECT_TRUE(hasChanges(S::typechange));
  EXPECT_TRUE(hasChanges(S::unmerged));
  EXPECT_FALSE(hasChanges(S::untracked));
  EXPECT_FALSE(hasChanges(S::unknown));
}

TEST(GitStaged, OrderedAndBounded) {
  EXPECT_LT(GitStaged::yes, GitStaged::partial);
  EXPECT_LT(GitStaged::partial, GitStaged::no);
  EXPECT_EQ(gitStagedFromRawValue(1), GitStaged::partial);
  EXPECT_FALSE(gitStagedFromRawValue(3));
  EXPECT_FALSE(gitStagedFromRawValue(-1));
}

TEST(GitMode, ParsesOctalAndRenders) {
  struct Case {
    const char* text;
    uint64_t decimal;
    const char* octal;
    bool isDir, isSymlink;
  };
  const Case cases[] = {
      {"100644", 33188, "100644", false, false}, {"100755", 33261, "100755", false, false},
      {"40000", 16384, "040000", true, false},   {"120000", 40960, "120000", false, true},
      {"160000", 57344, "160000", false, false}, {"0", 0, "000000", false, false},
      {"", 0, "000000", false, false},           {"100648", 0, "000000", false, false},
      {"-1", 0, "000000", false, false},         {"12x", 0, "000000", false, false},
      {"7777777", 2097151, "7777777", false, false},
      {"7777777777777777777777777", 0, "000000", false, false},  // overflows
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto m = GitMode::fromOctal(c.text);
    EXPECT_EQ(m.decimal, c.decimal);
    EXPECT_EQ(m.octalString(), c.octal);
    EXPECT_EQ(m.isDir(), c.isDir);
    EXPECT_EQ(m.isSymlink(), c.isSymlink);
    EXPECT_EQ(m.isZero(), c.decimal == 0);
  }
  EXPECT_EQ(GitMode::fromOctal("100644").bitString(), "1000000110100100");
  EXPECT_EQ(GitMode::fromOctal("7").bitString(), "0000000000000111");
  EXPECT_EQ(GitMode{1u << 20}.bitString(), "100000000000000000000");
  EXPECT_EQ(GitMode::zero, GitMode::fromOctal("0"));
}

TEST(GitStatusEntry, StagedStateByColumns) {
  struct Case {
    S x, y;
    GitStaged staged;
  };
  const Case cases[] = {
      {S::unmodified, S::modified, GitStaged::no},   {S::modified, S::unmodified, GitStaged::yes},
      {S::modified, S::modified, GitStaged::partial}, {S::added, S::unmodified, GitStaged::yes},
      {S::added, S::deleted, GitStaged::partial},     {S::untracked, S::untracked, GitStaged::no},
      {S::ignored, S::ignored, GitStaged::no},        {S::unknown, S::modified, GitStaged::no},
      {S::unmerged, S::unmerged, GitStaged::partial}, {S::renamed, S::unknown, GitStaged::yes},
      {S::deleted, S::ignored, GitStaged::yes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((std::string{rawValue(c.x), rawValue(c.y)}));
    EXPECT_EQ(ordinary(c.x, c.y, "a.txt").isStaged(), c.staged);
  }
}

TEST(GitStatusEntry, ResettableAndDeletablePathsPerRecordKind) {
  struct Case {
    const char* name;
    GitStatusEntry entry;
    Paths resettable, deletable;
  };
  GitStatusEntry deletedInIndex = ordinary(S::deleted, S::unmodified, "gone.txt");
  GitStatusEntry addedOnly = ordinary(S::added, S::unmodified, "new.txt");
  const Case cases[] = {
      {"modified in worktree", ordinary(S::unmodified, S::modified, "a.txt"), {"a.txt"}, {"a.txt"}},
      {"added", addedOnly, {}, {"new.txt"}},
      {"untracked dir", untracked("build/"), {}, {"build/"}},
      {"renamed", renamed("old.txt", "new.txt"), {"old.txt"}, {"new.txt"}},
      {"deleted", deletedInIndex, {"gone.txt"}, {}},
      {"unmerged", unmerged("c.txt"), {"c.txt"}, {"c.txt"}},
      // Added beats renamed and deleted.
      {"added then deleted", ordinary(S::added, S::deleted, "x"), {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.entry.resettablePaths(), c.resettable);
    EXPECT_EQ(c.entry.deletablePaths(), c.deletable);
  }
  GitStatusEntry renameWithoutSource = renamed("x", "y");
  renameWithoutSource.oldPath.reset();
  EXPECT_TRUE(renameWithoutSource.resettablePaths().empty());
}

TEST(GitStatusEntry, PathsAndColumnTests) {
  auto r = renamed("old.txt", "new.txt");
  EXPECT_EQ(r.path(), "new.txt");
  EXPECT_EQ(r.paths(), (std::vector<std::string>{"old.txt", "new.txt"}));
  EXPECT_TRUE(r.isRenamed());
  EXPECT_FALSE(r.isNew());
  auto o = ordinary(S::unmodified, S::modified, "a.txt");
  EXPECT_EQ(o.paths(), (std::vector<std::string>{"a.txt", "a.txt"}));
  EXPECT_EQ(o.uniquePaths(), (std::vector<std::string>{"a.txt"}));
  EXPECT_TRUE(o.isModified());
  EXPECT_FALSE(o.hasConflict());
  auto u = untracked("build/");
  EXPECT_TRUE(u.isDirectory());
  EXPECT_TRUE(u.isUntracked());
  EXPECT_EQ(u.isStaged(), GitStaged::no);
  EXPECT_FALSE(untracked("build").isDirectory());
  GitStatusEntry none;
  EXPECT_FALSE(none.path());
  EXPECT_FALSE(none.isDirectory());
  EXPECT_TRUE(none.paths().empty());
  EXPECT_TRUE(unmerged("c").hasConflict());
}

TEST(GitStatusEntry, ArrayHelpers) {
  std::vector<GitStatusEntry> none;
  EXPECT_TRUE(allStaged(none));
  EXPECT_FALSE(someStaged(none));
  EXPECT_FALSE(shouldStage(none));

  std::vector<GitStatusEntry> mixed = {ordinary(S::modified, S::unmodified, "a"), renamed("o", "n"),
                                       untracked("u")};
  EXPECT_FALSE(allStaged(mixed));
  EXPECT_TRUE(someStaged(mixed));
  EXPECT_TRUE(shouldStage(mixed));
  EXPECT_EQ(newFilePaths(mixed), (Paths{"a", "n", "u"}));
  EXPECT_EQ(oldFilePaths(mixed), (Paths{"a", "o"}));
  EXPECT_EQ(filePaths(mixed), (Paths{"a", "n", "o", "u"}));

  std::vector<GitStatusEntry> staged = {ordinary(S::modified, S::unmodified, "a"), renamed("o", "n")};
  EXPECT_TRUE(allStaged(staged));
  std::vector<GitStatusEntry> unstaged = {untracked("u"), ordinary(S::unmodified, S::modified, "b")};
  EXPECT_FALSE(someStaged(unstaged));
  std::vector<GitStatusEntry> partial = {ordinary(S::modified, S::modified, "a")};
  EXPECT_TRUE(someStaged(partial));
  EXPECT_FALSE(allStaged(partial));
}

TEST(GitStatusEntry, SortsByPathBytewiseWithAbsentAsEmpty) {
  GitStatusEntry noPath;
  std::vector<GitStatusEntry> entries = {untracked("a.txt"), untracked("\xC3\xA9.txt"), untracked("B.txt"),
                                         noPath, renamed("zzz", "b/c"), untracked("b")};
  auto sorted = sortedByPath(entries);
  std::vector<std::string> order;
  for (const auto& e : sorted) order.push_back(e.path().value_or("<none>"));
  // Upper case before lower case, "b" before "b/c", é (U+00E9) after ASCII.
  EXPECT_EQ(order, (std::vector<std::string>{"<none>", "B.txt", "a.txt", "b", "b/c", "\xC3\xA9.txt"}));
}

TEST(GitStatusList, LookupAndConflicts) {
  GitStatusList list{{ordinary(S::modified, S::unmodified, "a"), renamed("o", "n")}};
  EXPECT_EQ(list.entryFor("n")->oldPath, "o");
  EXPECT_FALSE(list.entryFor("o"));  // by `path`, which is the new path
  EXPECT_FALSE(list.entryFor("A"));
  EXPECT_FALSE(list.hasConflicts());
  list.entries.push_back(unmerged("c"));
  EXPECT_TRUE(list.hasConflicts());
}

TEST(GitStatusEntry, HashAgreesWithEquality) {
  auto withDate = ordinary(S::modified, S::unmodified, "a");
  withDate.modificationDate = Date(std::chrono::seconds(5));
  auto otherMode = ordinary(S::modified, S::unmodified, "a");
  otherMode.modeWorktree = 100755;
  auto sub = ordinary(S::modified, S::unmodified, "a");
  sub.submoduleState.isSubmodule = true;
  std::vector<GitStatusEntry> values = {ordinary(S::modified, S::unmodified, "a"),
                                        ordinary(S::modified, S::unmodified, "a"),
                                        ordinary(S::unmodified, S::modified, "a"),
                                        withDate,
                                        otherMode,
                                        sub,
                                        renamed("a", "b"),
                                        untracked("a"),
                                        unmerged("a")};
  tavrik::testing::expectHashAgreesWithEquality(values);
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitStatusList>{{}, {}, {{untracked("a")}}, {{untracked("b")}}});
  tavrik::testing::expectHashAgreesWithEquality(
      std::vector<GitMode>{GitMode::fromOctal("100644"), GitMode{33188}, GitMode::zero, GitMode{1}});
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitSubmoduleState>{
      {}, {}, {true, false, false, false}, {false, true, false, false}, {false, false, true, true}});
}
