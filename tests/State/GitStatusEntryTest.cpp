#include "tavrik/State/GitStatusEntry.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;
using S = GitStatus;
using Paths = std::set<std::string>;

namespace {
GitStatusEntry entry(S x, S y, std::optional<std::string> path, std::optional<std::string> from = std::nullopt) {
  GitStatusEntry e;
  e.index = x;
  e.worktree = y;
  e.newPath = path;
  e.oldPath = from ? from : (x == S::untracked || x == S::ignored ? std::nullopt : path);
  if (x == S::unmerged) e.modeStage1 = 100644;
  return e;
}
} // namespace

TEST(GitStatusEntry, StagedResettableAndDeletablePathsByColumns) {
  struct Case {
    GitStatusEntry entry;
    GitStaged staged;
    Paths resettable, deletable;
  } cases[] = {
      {entry(S::unmodified, S::modified, "a"), GitStaged::no, {"a"}, {"a"}},
      {entry(S::modified, S::unmodified, "a"), GitStaged::yes, {"a"}, {"a"}},
      {entry(S::modified, S::modified, "a"), GitStaged::partial, {"a"}, {"a"}},
      {entry(S::added, S::unmodified, "new"), GitStaged::yes, {}, {"new"}},
      {entry(S::added, S::deleted, "x"), GitStaged::partial, {}, {}}, // added beats deleted
      {entry(S::untracked, S::untracked, "build/"), GitStaged::no, {}, {"build/"}},
      {entry(S::renamed, S::unmodified, "new", "old"), GitStaged::yes, {"old"}, {"new"}},
      {entry(S::deleted, S::unmodified, "gone"), GitStaged::yes, {"gone"}, {}},
      {entry(S::unmerged, S::unmerged, "c"), GitStaged::partial, {"c"}, {"c"}},
      {entry(S::unknown, S::modified, "a"), GitStaged::no, {"a"}, {"a"}},
      {entry(S::deleted, S::ignored, "a"), GitStaged::yes, {"a"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE((std::string{rawValue(c.entry.index), rawValue(c.entry.worktree), ' '} + *c.entry.newPath));
    EXPECT_EQ(c.entry.isStaged(), c.staged);
    EXPECT_EQ(c.entry.resettablePaths(), c.resettable);
    EXPECT_EQ(c.entry.deletablePaths(), c.deletable);
  }
  std::vector<GitStatusEntry> mixed = {entry(S::modified, S::unmodified, "a"), entry(S::renamed, S::unmodified, "n", "o"),
                                       entry(S::untracked, S::untracked, "u")};
  EXPECT_EQ(filePaths(mixed), (Paths{"a", "n", "o", "u"}));
  EXPECT_TRUE(someStaged(mixed) && !allStaged(mixed) && shouldStage(mixed));
  mixed.pop_back();
  EXPECT_TRUE(allStaged(mixed));
}

// Bytewise: upper case before lower, "b" before "b/c", é after ASCII, absent first.
TEST(GitStatusEntry, SortsByPathBytewise) {
  std::vector<GitStatusEntry> entries = {entry(S::untracked, S::untracked, "a.txt"),
                                         entry(S::untracked, S::untracked, "\xC3\xA9.txt"),
                                         entry(S::untracked, S::untracked, "B.txt"), GitStatusEntry{},
                                         entry(S::renamed, S::unmodified, "b/c", "zzz"),
                                         entry(S::untracked, S::untracked, "b")};
  std::vector<std::string> order;
  for (const auto& e : sortedByPath(entries)) order.push_back(e.path().value_or("<none>"));
  EXPECT_EQ(order, (std::vector<std::string>{"<none>", "B.txt", "a.txt", "b", "b/c", "\xC3\xA9.txt"}));
}

TEST(GitMode, ParsesOctal) {
  const std::pair<const char*, uint64_t> cases[] = {{"100644", 33188}, {"40000", 16384}, {"120000", 40960},
                                                    {"", 0},           {"100648", 0},    {"-1", 0},
                                                    {"12x", 0},        {"7777777777777777777777777", 0}};
  for (auto [text, decimal] : cases) EXPECT_EQ(GitMode::fromOctal(text).decimal, decimal) << text;
  EXPECT_TRUE(GitMode::fromOctal("40000").isDir());
  EXPECT_TRUE(GitMode::fromOctal("120000").isSymlink());
  EXPECT_EQ(GitMode::fromOctal("40000").octalString(), "040000");
}

TEST(GitStatusEntry, HashAgreesWithEquality) {
  auto dated = entry(S::modified, S::unmodified, "a");
  dated.modificationDate = Date(std::chrono::seconds(5));
  auto sub = entry(S::modified, S::unmodified, "a");
  sub.submoduleState.isSubmodule = true;
  expectHashAgreesWithEquality(std::vector<GitStatusEntry>{
      entry(S::modified, S::unmodified, "a"), entry(S::modified, S::unmodified, "a"),
      entry(S::unmodified, S::modified, "a"), dated, sub, entry(S::renamed, S::unmodified, "b", "a")});
  expectHashAgreesWithEquality(std::vector<GitStatusList>{{}, {}, {{entry(S::untracked, S::untracked, "a")}}});
}
