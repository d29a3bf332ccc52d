#include "tavrik/State/GitViewExecStatusOperation.h"

#include "State/ReadersTestSupport.h"
#include "tavrik/Process/GitStdError.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitStatusList refresh(const std::shared_ptr<GitQueue>& queue, bool includeIgnored = false) {
  auto view = runOn(queue, makeOperation<GitViewExecStatusOperation>(includeIgnored));
  EXPECT_TRUE(view.status);
  EXPECT_EQ(view, queue->view());
  return view.status.value_or(GitStatusList{});
}

const GitStatusEntry* find(const GitStatusList& list, const std::string& path) {
  for (const auto& e : list.entries)
    if (e.path() == path) return &e;
  return nullptr;
}

} // namespace

TEST(GitViewExecStatusOperation, HoldsIndexLock) {
  EXPECT_TRUE(makeOperation<GitViewExecStatusOperation>()->needsIndexLock());
}

TEST(GitViewExecStatusOperation, CleanTreeGivesPresentEmptyList) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  EXPECT_FALSE(queue->view().status);
  auto status = refresh(queue);
  EXPECT_TRUE(status.entries.empty());
}

TEST(GitViewExecStatusOperation, ReadsOrdinaryRenamedUntrackedAndDeletedFiles) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  repo.commitFile("old.txt", "a rather long text so rename detection is sure\n", "old");
  repo.commitFile("gone.txt", "g\n", "gone");
  repo.write("a.txt", "changed\n");
  repo.git({"mv", "old.txt", "new.txt"});
  repo.git({"rm", "-q", "--cached", "gone.txt"});
  std::filesystem::remove(repo.path() / "gone.txt");
  repo.write("build/out.o", "o");
  repo.write("B.txt", "upper case sorts first\n");

  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto status = refresh(queue);

  std::vector<std::string> paths;
  for (const auto& e : status.entries) paths.push_back(*e.path());
  EXPECT_EQ(paths, (std::vector<std::string>{"B.txt", "a.txt", "build/", "gone.txt", "new.txt"}));

  auto* a = find(status, "a.txt");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->worktree, GitStatus::modified);
  EXPECT_EQ(a->isStaged(), GitStaged::no);
  EXPECT_EQ(a->modeHead, 100644);
  ASSERT_TRUE(a->modificationDate);
  struct stat info;
  ASSERT_EQ(::stat((repo.path() / "a.txt").c_str(), &info), 0);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(a->modificationDate->time_since_epoch()).count(),
            info.st_mtim.tv_sec);

  auto* renamed = find(status, "new.txt");
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->index, GitStatus::renamed);
  EXPECT_EQ(renamed->oldPath, "old.txt");
  EXPECT_EQ(renamed->score, 100);
  EXPECT_EQ(renamed->resettablePaths(), std::set<std::string>{"old.txt"});
  EXPECT_TRUE(renamed->modificationDate);

  auto* build = find(status, "build/");
  ASSERT_TRUE(build);
  EXPECT_TRUE(build->isDirectory());
  EXPECT_TRUE(build->isUntracked());
  EXPECT_TRUE(build->modificationDate);

  auto* gone = find(status, "gone.txt");
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->index, GitStatus::deleted);
  EXPECT_FALSE(gone->modificationDate);  // no file to ask
}

TEST(GitViewExecStatusOperation, ReadsMergeConflict) {
  ScratchRepo repo;
  repo.commitFile("c.txt", "base\n", "base");
  repo.git({"checkout", "-q", "-b", "feature"});
  repo.commitFile("c.txt", "theirs\n", "theirs");
  repo.git({"checkout", "-q", "main"});
  repo.commitFile("c.txt", "ours\n", "ours");
  EXPECT_NE(repo.tryGit({"merge", "feature"}).status, 0);

  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto status = refresh(queue);
  ASSERT_EQ(status.entries.size(), 1u);
  const auto& c = status.entries[0];
  EXPECT_EQ(c.index, GitStatus::unmerged);
  EXPECT_EQ(c.worktree, GitStatus::unmerged);
  EXPECT_EQ(c.oidStage2, Oid::parse(repo.git({"rev-parse", "HEAD:c.txt"}).substr(0, 40)));
  EXPECT_EQ(c.oidStage3, Oid::parse(repo.git({"rev-parse", "feature:c.txt"}).substr(0, 40)));
  EXPECT_FALSE(c.modeHead);
  EXPECT_TRUE(status.hasConflicts());
}

TEST(GitViewExecStatusOperation, IgnoredFilesOnlyWhenAsked) {
  ScratchRepo repo;
  repo.commitFile(".gitignore", "*.log\n", "ignore logs");
  repo.write("debug.log", "x");
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  EXPECT_TRUE(refresh(queue, false).entries.empty());
  auto status = refresh(queue, true);
  ASSERT_EQ(status.entries.size(), 1u);
  EXPECT_EQ(status.entries[0].newPath, "debug.log");
  EXPECT_EQ(status.entries[0].index, GitStatus::ignored);
  EXPECT_EQ(status.entries[0].worktree, GitStatus::ignored);
}

TEST(GitViewExecStatusOperation, ReadsSubmoduleField) {
  ScratchRepo sub;
  sub.commitFile("s.txt", "s\n", "sub");
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  repo.git({"-c", "protocol.file.allow=always", "submodule", "add", "-q", sub.path().string(), "mod"});
  repo.git({"commit", "-qm", "add submodule"});
  // A new commit inside the submodule, plus an untracked file there.
  runProgram({"git", "-C", (repo.path() / "mod").string(), "commit", "-q", "--allow-empty", "-m", "moved"}, repo.path());
  std::ofstream(repo.path() / "mod" / "new.txt") << "n";

  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto status = refresh(queue);
  auto* mod = find(status, "mod");
  ASSERT_TRUE(mod);
  EXPECT_TRUE(mod->submoduleState.isSubmodule);
  EXPECT_TRUE(mod->submoduleState.commitChanged);
  EXPECT_FALSE(mod->submoduleState.hasTrackedChanges);
  EXPECT_TRUE(mod->submoduleState.hasUntrackedChanges);
  EXPECT_EQ(mod->modeHead, 160000);
  auto* modules = find(status, ".gitmodules");
  EXPECT_FALSE(modules);  // committed with the submodule
}

TEST(GitViewExecStatusOperation, KeepsUnusualPathsIntact) {
  ScratchRepo repo;
  const std::vector<std::string> names = {"with space.txt", "tab\there.txt", "new\nline.txt",
                                          "\xC3\xBC\xC3\xB1\xC3\xAF\xC3\xA7\xC3\xB8" "d\xC3\xA9.txt",
                                          "\xE6\x97\xA5\xE6\x9C\xAC.txt"};
  for (const auto& name : names) repo.write(name, "x");
  repo.commitFile("tracked one.txt", "1\n", "init");
  repo.git({"mv", "tracked one.txt", "tracked\ttwo.txt"});

  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto status = refresh(queue);
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    auto* e = find(status, name);
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->isUntracked());
    EXPECT_TRUE(e->modificationDate);
  }
  auto* moved = find(status, "tracked\ttwo.txt");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->oldPath, "tracked one.txt");
}

TEST(GitViewExecStatusOperation, BareOrMissingRepositoryRunsNoGit) {
  ScratchRepo bare(true);
  // No prefix: any attempt to run git would fail with "Git executable not found."
  makeGitEnvironmentHermetic();
  auto queue = GitQueue::create(bareDescriptor(bare.path()), nullptr, std::nullopt);
  auto view = runOn(queue, makeOperation<GitViewExecStatusOperation>());
  EXPECT_FALSE(view.status);
  EXPECT_EQ(view, GitView::empty());

  auto noRepository = GitQueue::create(std::nullopt, nullptr, std::nullopt);
  EXPECT_EQ(runOn(noRepository, makeOperation<GitViewExecStatusOperation>()), GitView::empty());
}

TEST(GitViewExecStatusOperation, FailureLeavesViewUntouched) {
  TempDir notARepository;
  auto queue = makeReaderQueue(worktreeDescriptor(notARepository.path()));
  auto future = makeOperation<GitViewExecStatusOperation>()->enqueue(queue);
  EXPECT_THROW(future.wait(std::chrono::seconds(60)), GitStdError);
  EXPECT_FALSE(queue->view().status);
}

TEST(GitViewExecStatusOperation, SortsLargeListsByPath) {
  std::vector<GitStatusEntry> entries(300);
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].newPath = std::to_string((i * 7919) % 1000);
    if (i % 3 == 0) entries[i].oldPath = entries[i].newPath;
  }
  entries[5].newPath.reset();
  entries[5].oldPath = "5-old";
  entries[9].newPath.reset();
  entries[9].oldPath.reset();
  auto expected = sortedByPath(entries);
  GitViewExecStatusOperation::sortByPath(entries);
  ASSERT_EQ(entries.size(), expected.size());
  for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].path(), expected[i].path()) << i;
  EXPECT_FALSE(entries[0].path());  // absent path counts as ""
}

// git lists changes, untracked and ignored files as separate sorted groups;
// those runs are merged, whatever their number and lengths.
TEST(GitViewExecStatusOperation, MergesSortedGroupsByPath) {
  for (size_t groups : {2u, 3u, 5u, 16u, 17u}) {
    SCOPED_TRACE(groups);
    std::vector<GitStatusEntry> entries;
    for (size_t g = 0; g < groups; ++g) {
      // Interleaved groups of different lengths, each ascending on its own.
      for (size_t i = 0; i < 20 + 7 * g; ++i) {
        auto& e = entries.emplace_back();
        e.newPath = "p" + std::to_string(1000 + i * groups + g);
        e.modeHead = static_cast<int32_t>(g);
      }
    }
    entries.emplace_back().newPath = "a-last-but-first"; // a run of its own
    auto expected = sortedByPath(entries);
    GitViewExecStatusOperation::sortByPath(entries);
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].path(), expected[i].path()) << i;
      EXPECT_EQ(entries[i].modeHead, expected[i].modeHead) << i; // the entry moved with its path
    }
  }
  std::vector<GitStatusEntry> sorted(3);
  sorted[0].newPath = "a", sorted[1].newPath = "b", sorted[2].newPath = "c";
  auto copy = sorted;
  GitViewExecStatusOperation::sortByPath(sorted);
  EXPECT_EQ(sorted, copy);
}

TEST(GitViewExecStatusOperation, StampsDatesOfNestedAndManyFiles) {
  ScratchRepo repo;
  repo.commitFile("deep/er/x.txt", "x\n", "nested");
  repo.write("deep/er/x.txt", "changed\n");
  repo.write("deep/new/y.txt", "untracked directory\n");
  // Enough entries that the lookups are split over several threads.
  for (int i = 0; i < 9000; ++i) std::ofstream(repo.path() / ("u" + std::to_string(i) + ".txt")) << i;
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto status = refresh(queue);
  ASSERT_GE(status.entries.size(), 9001u);
  for (const auto& e : status.entries) EXPECT_TRUE(e.modificationDate) << *e.path();
  EXPECT_TRUE(find(status, "deep/new/"));
  auto* nested = find(status, "deep/er/x.txt");
  ASSERT_TRUE(nested);
  struct stat info;
  ASSERT_EQ(::stat((repo.path() / "deep/er/x.txt").c_str(), &info), 0);
  auto expected = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
  EXPECT_EQ(nested->modificationDate->time_since_epoch(),
            std::chrono::duration_cast<Date::duration>(expected));
}
