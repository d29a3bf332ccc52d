#include "ArborTestHelpers.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Repo.h"

#include <gtest/gtest.h>
#include <unordered_set>

using arbor::Commit;
using arbor::Repo;
using namespace arbor::testing;
using tavrik::testing::ScratchRepo;

TEST(Commit, ReadsIdsMessageAndSignaturesWithDateAndOffset) {
  ScratchRepo scratch;
  setenv("GIT_AUTHOR_DATE", "2024-01-02T10:00:00+02:00", 1);
  setenv("GIT_COMMITTER_DATE", "2023-06-01T00:00:00-05:30", 1);
  scratch.write("a.txt", "a\n");
  scratch.git({"add", "a.txt"});
  scratch.git({"commit", "-q", "-m", "Subject line\n\nBody text"});
  auto head = oidOf(scratch.git({"rev-parse", "HEAD"}));

  Repo repo = Repo::openAtPath(scratch.path().string());
  Commit commit = Commit::lookup(head, repo);
  EXPECT_EQ(commit.id, head);
  EXPECT_EQ(commit.treeId, oidOf(scratch.git({"rev-parse", "HEAD^{tree}"})));
  EXPECT_TRUE(commit.parentIds.empty());
  EXPECT_EQ(commit.message, "Subject line\n\nBody text\n");

  EXPECT_EQ(commit.author.name, "Test Author");
  EXPECT_EQ(commit.author.email, "author@example.com");
  // 2024-01-02T08:00:00Z
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(commit.author.date.time_since_epoch()).count(),
            1704182400);
  EXPECT_EQ(commit.author.offsetMinutes, 120);

  EXPECT_EQ(commit.committer.name, "Test Committer");
  EXPECT_EQ(commit.committer.email, "committer@example.com");
  // 2023-06-01T05:30:00Z
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(commit.committer.date.time_since_epoch()).count(),
            1685597400);
  EXPECT_EQ(commit.committer.offsetMinutes, -330);
}

TEST(Commit, ListsParentsFirstParentFirst) {
  ScratchRepo scratch;
  scratch.commitFile("a.txt", "a\n", "base");
  scratch.git({"checkout", "-q", "-b", "side"});
  scratch.commitFile("b.txt", "b\n", "side");
  scratch.git({"checkout", "-q", "main"});
  scratch.commitFile("c.txt", "c\n", "main");
  scratch.git({"merge", "-q", "--no-ff", "-m", "merge side", "side"});

  Repo repo = Repo::openAtPath(scratch.path().string());
  Commit merge = Commit::lookup(oidOf(scratch.git({"rev-parse", "HEAD"})), repo);
  ASSERT_EQ(merge.parentIds.size(), 2u);
  EXPECT_EQ(merge.parentIds[0], oidOf(scratch.git({"rev-parse", "HEAD^1"})));
  EXPECT_EQ(merge.parentIds[1], oidOf(scratch.git({"rev-parse", "HEAD^2"})));
}

TEST(Commit, LookupFailsForMissingObjectOrNonCommit) {
  ScratchRepo scratch;
  scratch.commitFile("a.txt", "a\n", "first");
  Repo repo = Repo::openAtPath(scratch.path().string());
  try {
    Commit::lookup(*arbor::Oid::parse("0123456789abcdef0123456789abcdef01234567"), repo);
    FAIL() << "found a commit that does not exist";
  } catch (const arbor::Error& error) {
    EXPECT_EQ(error.code(), arbor::Error::Code::notFound);
    EXPECT_FALSE(error.message().empty());
  }
  EXPECT_THROW(Commit::lookup(oidOf(scratch.git({"rev-parse", "HEAD^{tree}"})), repo), arbor::Error);
}

TEST(Commit, HashAgreesWithEquality) {
  ScratchRepo scratch;
  auto first = oidOf(scratch.commitFile("a.txt", "a\n", "first"));
  auto second = oidOf(scratch.commitFile("a.txt", "b\n", "second"));
  Repo repo = Repo::openAtPath(scratch.path().string());
  Commit a = Commit::lookup(first, repo), a2 = Commit::lookup(first, repo), b = Commit::lookup(second, repo);
  EXPECT_EQ(a, a2);
  EXPECT_EQ(std::hash<Commit>{}(a), std::hash<Commit>{}(a2));
  EXPECT_NE(a, b);
  EXPECT_EQ(std::hash<arbor::Signature>{}(a.author), std::hash<arbor::Signature>{}(a2.author));
  std::unordered_set<Commit> set{a, a2, b};
  EXPECT_EQ(set.size(), 2u);
}
