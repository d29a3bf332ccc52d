#include "ArborTestHelpers.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Interfaces/RevWalk.h"

#include <gtest/gtest.h>
#include <thread>

using arbor::Repo;
using tavrik::testing::ScratchRepo;
using tavrik::testing::TempDir;

TEST(Repo, OpensWorkingTreeAndGitDirectory) {
  ScratchRepo scratch;
  scratch.commitFile("a.txt", "a\n", "first");
  for (auto path : {scratch.path(), scratch.path() / ".git"}) {
    SCOPED_TRACE(path.string());
    Repo repo = Repo::openAtPath(path.string());
    EXPECT_FALSE(repo.isBare());
    EXPECT_EQ(repo.gitDirectoryPath(), (scratch.path() / ".git").string());
    ASSERT_TRUE(repo.workingDirectoryPath());
    EXPECT_EQ(*repo.workingDirectoryPath(), scratch.path().string());
  }
}

TEST(Repo, OpensBareRepository) {
  ScratchRepo scratch(/*bare=*/true);
  Repo repo = Repo::openAtPath(scratch.path().string());
  EXPECT_TRUE(repo.isBare());
  EXPECT_FALSE(repo.workingDirectoryPath());
  EXPECT_EQ(repo.gitDirectoryPath(), scratch.path().string());
}

TEST(Repo, OpensLinkedWorktreeWithItsOwnHead) {
  ScratchRepo scratch;
  scratch.commitFile("a.txt", "a\n", "first");
  TempDir other;
  auto worktree = other.path() / "wt";
  scratch.git({"worktree", "add", "-q", "-b", "feature", worktree.string()});
  Repo repo = Repo::openAtPath(worktree.string());
  ASSERT_TRUE(repo.workingDirectoryPath());
  EXPECT_EQ(*repo.workingDirectoryPath(), worktree.string());
  auto head = arbor::Reference::head(repo);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->name(), "refs/heads/feature");
}

TEST(Repo, FailsOutsideARepositoryWithTheLibraryMessage) {
  TempDir dir;
  try {
    Repo::openAtPath(dir.path().string());
    FAIL() << "opened a directory that is no repository";
  } catch (const arbor::Error& error) {
    EXPECT_EQ(error.code(), arbor::Error::Code::notFound);
    EXPECT_NE(error.message().find(dir.path().string()), std::string::npos) << error.message();
  }
  EXPECT_THROW(Repo::openAtPath((dir.path() / "missing").string()), arbor::Error);
}

// Opening does not search upwards: a plain subdirectory of a working tree is
// not the repository.
TEST(Repo, DoesNotOpenAnEnclosingRepository) {
  ScratchRepo scratch;
  scratch.commitFile("sub/a.txt", "a\n", "first");
  EXPECT_THROW(Repo::openAtPath((scratch.path() / "sub").string()), arbor::Error);
}

// Each thread gets its own failure text even when failures race, because the
// text is copied on the failing thread.
TEST(Repo, ErrorTextBelongsToTheFailingThread) {
  TempDir dir;
  constexpr int kThreads = 4;
  std::vector<std::string> messages(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      auto path = (dir.path() / ("missing-" + std::to_string(i))).string();
      for (int round = 0; round < 50; ++round) {
        try {
          Repo::openAtPath(path);
        } catch (const arbor::Error& error) {
          if (error.message().find(path) == std::string::npos) messages[i] = error.message();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(messages[i], "") << "thread " << i;
}

TEST(Repo, IndependentRepositoriesWorkOnSeparateThreads) {
  ScratchRepo scratch;
  for (int i = 0; i < 5; ++i) scratch.commitFile("a.txt", std::to_string(i), "commit " + std::to_string(i));
  std::vector<int> counts(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < counts.size(); ++t) {
    threads.emplace_back([&, t] {
      Repo repo = Repo::openAtPath(scratch.path().string());
      arbor::RevWalk walk(repo);
      walk.pushHead();
      while (walk.next()) ++counts[t];
    });
  }
  for (auto& t : threads) t.join();
  for (int c : counts) EXPECT_EQ(c, 5);
}

// Objects keep their repository open: a walk stays usable after the last
// Repo handle of the caller is gone.
TEST(Repo, WalkKeepsRepositoryAlive) {
  ScratchRepo scratch;
  scratch.commitFile("a.txt", "a\n", "first");
  std::optional<arbor::RevWalk> walk;
  {
    Repo repo = Repo::openAtPath(scratch.path().string());
    walk.emplace(repo);
  }
  walk->pushHead();
  EXPECT_TRUE(walk->next());
  EXPECT_FALSE(walk->next());
}
