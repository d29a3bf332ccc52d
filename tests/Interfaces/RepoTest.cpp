#include "ArborSupport.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Interfaces/RevWalk.h"

#include <thread>

using namespace arbor;
using namespace arbor::testing;
using tavrik::testing::TempDir;

TEST(Repo, OpensWorkingTreeGitDirectoryBareAndLinkedWorktree) {
  auto scenario = ScenarioRepo::copy();
  const auto& w = scenario->work;
  const auto linked = w.path().parent_path() / "linked";
  w.git({"worktree", "add", "-q", linked.string(), "side"});
  struct Case {
    std::filesystem::path at;
    std::optional<std::filesystem::path> workingDirectory;
    std::filesystem::path gitDirectory;
    const char* head;
  } cases[] = {
      {w.path(), w.path(), w.path() / ".git", "refs/heads/main"},
      {w.path() / ".git", w.path(), w.path() / ".git", "refs/heads/main"},
      {linked, linked, w.path() / ".git" / "worktrees" / "linked", "refs/heads/side"},
      {scenario->upstream.path(), std::nullopt, scenario->upstream.path(), "refs/heads/main"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at);
    Repo repo = Repo::openAtPath(c.at.string());
    EXPECT_EQ(repo.isBare(), !c.workingDirectory);
    EXPECT_EQ(repo.gitDirectoryPath(), c.gitDirectory.string());
    EXPECT_EQ(repo.workingDirectoryPath(), c.workingDirectory ? std::optional(c.workingDirectory->string()) : std::nullopt);
    EXPECT_EQ(Reference::head(repo)->name(), c.head);
  }
}

// Opening does not search upwards, and each thread gets its own failure
// text even when failures race: it is copied on the failing thread.
TEST(Repo, FailuresNameTheirOwnPath) {
  EXPECT_THROW(Repo::openAtPath((work().path() / "old").string()), Error);
  TempDir dir;
  std::vector<std::string> wrong(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      auto path = (dir.path() / ("missing-" + std::to_string(i))).string();
      for (int round = 0; round < 50; ++round) {
        try {
          Repo::openAtPath(path);
          wrong[i] = "opened";
        } catch (const Error& error) {
          if (error.code() != Error::Code::notFound || error.message().find(path) == std::string::npos)
            wrong[i] = error.message();
        }
      }
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(wrong[i], "") << "thread " << i;
}

// Repositories on separate threads, and a walk that outlives the caller's
// last Repo handle.
TEST(Repo, WalksOnSeparateThreadsAndKeepsTheRepositoryAlive) {
  const size_t expected = lines(work().git({"rev-list", "HEAD", "--"})).size();
  std::vector<size_t> counts(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < counts.size(); ++t)
    threads.emplace_back([&, t] {
      std::optional<RevWalk> walk;
      {
        Repo repo = openWork();
        walk.emplace(repo);
      }
      walk->pushHead();
      while (walk->next()) ++counts[t];
    });
  for (auto& t : threads) t.join();
  for (size_t c : counts) EXPECT_EQ(c, expected);
}
