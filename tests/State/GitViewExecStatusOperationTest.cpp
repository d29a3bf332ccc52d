#include "tavrik/State/GitViewExecStatusOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"

#include <fstream>
#include <sys/stat.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitStatusList refresh(const std::shared_ptr<GitQueue>& queue) {
  auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>());
  EXPECT_EQ(status, queue->view().status);
  return status.value_or(GitStatusList{});
}

Date mtime(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  auto since = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
  return Date(std::chrono::duration_cast<Date::duration>(since));
}

} // namespace

// Enough entries that the lookups are split over several threads; a deleted
// file has no date.
TEST(GitViewExecStatusOperation, StampsEveryEntryWithItsModificationDate) {
  auto scenario = ScenarioRepo::copy();
  const auto& work = scenario->work;
  for (int i = 0; i < 9000; ++i) std::ofstream(work.path() / ("u" + std::to_string(i) + ".txt")) << i;
  work.write("deep/er/x.txt", "nested\n");
  auto status = refresh(readerQueue(work));
  ASSERT_GE(status.entries.size(), 9010u);
  for (const auto& e : status.entries) {
    SCOPED_TRACE(*e.path());
    if (e.index == GitStatus::deleted) {
      EXPECT_FALSE(e.modificationDate);
      continue;
    }
    ASSERT_TRUE(e.modificationDate);
    EXPECT_EQ(*e.modificationDate, mtime(work.path() / *e.path()));
  }
}

// git lists changes, untracked and ignored files as separate sorted groups;
// those runs are merged, whatever their number and lengths.
TEST(GitViewExecStatusOperation, MergesSortedGroupsByPath) {
  for (size_t groups : {1u, 2u, 3u, 5u, 16u, 17u}) {
    SCOPED_TRACE(groups);
    std::vector<GitStatusEntry> entries;
    for (size_t g = 0; g < groups; ++g) {
      for (size_t i = 0; i < 20 + 7 * g; ++i) {
        auto& e = entries.emplace_back();
        e.newPath = "p" + std::to_string(1000 + i * groups + g);
        if (i % 3 == 0) e.oldPath = e.newPath;
        e.modeHead = static_cast<int32_t>(g);
      }
    }
    entries.emplace_back().oldPath = "a-old-path-only"; // a run of its own
    entries.emplace_back();                              // no path: sorts as ""
    auto expected = sortedByPath(entries);
    GitViewExecStatusOperation::sortByPath(entries);
    EXPECT_EQ(entries, expected); // each entry moved whole with its path
  }
}

TEST(GitViewExecStatusOperation, ReadsSubmoduleState) {
  auto scenario = ScenarioRepo::copy();
  const auto& work = scenario->work;
  work.git({"-c", "protocol.file.allow=always", "submodule", "add", "-q", scenario->upstream.path().string(), "mod"});
  work.git({"commit", "-qm", "add submodule"});
  GitDir mod(work.path() / "mod");
  mod.git({"commit", "-q", "--allow-empty", "-m", "moved"});
  mod.write("new.txt", "n");
  auto status = refresh(readerQueue(work));
  auto entry = status.entryFor("mod");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->submoduleState, (GitSubmoduleState{true, true, false, true}));
  EXPECT_EQ(entry->modeHead, 160000);
}

TEST(GitViewExecStatusOperation, RunsNoGitWithoutAWorkingTreeAndKeepsTheViewOnFailure) {
  ScratchRepo bare(true);
  // No prefix: a git run would fail with "Git executable not found."
  auto noGit = GitQueue::create(bareDescriptor(bare.path()), nullptr, std::nullopt);
  EXPECT_FALSE(runOn(noGit, makeOperation<GitViewExecStatusOperation>()));
  EXPECT_EQ(noGit->view(), GitView::empty());
  auto noRepository = GitQueue::create(std::nullopt, nullptr, std::nullopt);
  EXPECT_FALSE(runOn(noRepository, makeOperation<GitViewExecStatusOperation>()));
  EXPECT_EQ(noRepository->view(), GitView::empty());

  TempDir notARepository;
  auto queue = makeReaderQueue(worktreeDescriptor(notARepository.path()));
  EXPECT_THROW(runOn(queue, makeOperation<GitViewExecStatusOperation>()), GitStdError);
  EXPECT_FALSE(queue->view().status);
}
