#include "tavrik/State/GitViewReflogOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"

using namespace tavrik;
using namespace tavrik::testing;

using Names = std::set<std::string>;

// The main worktree lists every log, a name that is not UTF-8 included. A
// linked one reads HEAD and refs/worktree/ from its own git directory and the
// branches from the common one, never the main worktree's HEAD or bisect log.
TEST(GitViewReflogOperation, ListsEachLogWhereGitKeepsIt) {
  ScratchRepo repo;
  TempDir place;
  const auto linkedPath = place.path() / "linked";
  repo.commitFile("f", "1", "one");
  repo.git({"branch", "a\351"});
  repo.git({"update-ref", "--create-reflog", "refs/bisect/bad", "HEAD"});
  repo.git({"worktree", "add", "-q", "-b", "side", linkedPath.string()});
  GitDir linked(linkedPath);
  linked.git({"update-ref", "--create-reflog", "refs/worktree/mine", "HEAD"});
  auto queue = readerQueue(repo);
  queue->updateViewFor(GitAspects::reflogs);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue->view().reflogs.names,
            (Names{"HEAD", "refs/bisect/bad", "refs/heads/a\351", "refs/heads/main", "refs/heads/side"}));

  std::filesystem::remove(repo.path() / ".git/logs/HEAD"); // so the main HEAD cannot pass for the linked one
  auto describe = makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(linkedPath.string(), true));
  auto linkedQueue = makeReaderQueue(runOn(makeReaderQueue(std::nullopt), describe));
  auto reflogs = [](auto queue) { return runOn(queue, makeOperation<GitViewReflogOperation>()).names; };
  const Names linkedNames{"HEAD", "refs/heads/a\351", "refs/heads/main", "refs/heads/side", "refs/worktree/mine"};
  EXPECT_EQ(reflogs(linkedQueue), linkedNames);
  for (const auto& name : linkedNames) EXPECT_EQ(linked.tryGit({"reflog", "exists", name}).status, 0) << name;
  std::filesystem::remove_all(repo.path() / ".git/logs");
  EXPECT_EQ(reflogs(queue), Names{});
}
