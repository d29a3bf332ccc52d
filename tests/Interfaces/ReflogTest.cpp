#include "ArborTestHelpers.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Reflog.h"
#include "tavrik/Interfaces/Repo.h"

#include <gtest/gtest.h>
#include <unordered_set>

using arbor::Reflog;
using arbor::Repo;
using namespace arbor::testing;
using tavrik::testing::ScratchRepo;

TEST(Reflog, ReadsEntriesNewestFirstAfterCommitsAndCheckout) {
  ScratchRepo scratch;
  auto a = oidOf(scratch.commitFile("a.txt", "1\n", "first"));
  auto b = oidOf(scratch.commitFile("a.txt", "2\n", "second"));
  scratch.git({"checkout", "-q", "-b", "feature", a.string()});
  auto c = oidOf(scratch.commitFile("c.txt", "3\n", "on feature"));
  scratch.git({"checkout", "-q", "main"});

  Repo repo = Repo::openAtPath(scratch.path().string());
  Reflog reflog = Reflog::read("HEAD", repo);
  ASSERT_EQ(reflog.count(), 5u);
  const auto& e = reflog.entries();
  EXPECT_EQ(e[0].newId, b);
  EXPECT_EQ(e[0].oldId, c);
  EXPECT_EQ(e[0].message, "checkout: moving from feature to main");
  EXPECT_EQ(e[1].newId, c);
  EXPECT_EQ(e[1].message, "commit: on feature");
  EXPECT_EQ(e[2].newId, a);
  EXPECT_EQ(e[2].oldId, b);
  EXPECT_EQ(e[2].message, "checkout: moving from main to feature");
  EXPECT_EQ(e[3].message, "commit: second");
  EXPECT_EQ(e[4].message, "commit (initial): first");
  EXPECT_TRUE(e[4].oldId.isZero());
  for (size_t i = 0; i + 1 < e.size(); ++i) EXPECT_EQ(e[i].oldId, e[i + 1].newId) << "entry " << i;
  EXPECT_EQ(e[0].committer.name, "Test Committer");
  EXPECT_EQ(e[0].committer.email, "committer@example.com");
  EXPECT_EQ(e[0].committer.offsetMinutes, 120);

  // The same order and ids as git's own listing of the reflog.
  auto gitIds = lines(scratch.git({"log", "-g", "--format=%H", "HEAD"}));
  ASSERT_EQ(gitIds.size(), reflog.count());
  for (size_t i = 0; i < gitIds.size(); ++i) EXPECT_EQ(reflog.entry(i).newId, oidOf(gitIds[i]));

  Reflog feature = Reflog::read("refs/heads/feature", repo);
  ASSERT_EQ(feature.count(), 2u);
  EXPECT_EQ(feature.entry(0).newId, c);
}

TEST(Reflog, MissingLogIsEmptyAndIndexPastEndThrows) {
  ScratchRepo scratch;
  scratch.commitFile("a.txt", "1\n", "first");
  scratch.git({"update-ref", "refs/heads/quiet", "HEAD"});
  std::filesystem::remove(scratch.path() / ".git/logs/refs/heads/quiet");
  Repo repo = Repo::openAtPath(scratch.path().string());
  Reflog reflog = Reflog::read("refs/heads/quiet", repo);
  EXPECT_EQ(reflog.count(), 0u);
  EXPECT_THROW(reflog.entry(0), arbor::Error);
  EXPECT_THROW(Reflog::read("HEAD", repo).entry(1), arbor::Error);
}

TEST(Reflog, EntryHashAgreesWithEquality) {
  ScratchRepo scratch;
  scratch.commitFile("a.txt", "1\n", "first");
  scratch.commitFile("a.txt", "2\n", "second");
  Repo repo = Repo::openAtPath(scratch.path().string());
  auto one = Reflog::read("HEAD", repo), two = Reflog::read("HEAD", repo);
  EXPECT_EQ(one.entries(), two.entries());
  EXPECT_EQ(std::hash<arbor::ReflogEntry>{}(one.entry(0)), std::hash<arbor::ReflogEntry>{}(two.entry(0)));
  EXPECT_NE(one.entry(0), one.entry(1));
  std::unordered_set<arbor::ReflogEntry> set(one.entries().begin(), one.entries().end());
  set.insert(two.entries().begin(), two.entries().end());
  EXPECT_EQ(set.size(), 2u);
}
