#include "tavrik/Queue/GitExecRepositoryDescriptorOperation.h"

#include "State/ReadersTestSupport.h"
#include "tavrik/Queue/TavrikError.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

GitRepositoryDescriptor describe(const std::filesystem::path& path) {
  auto queue = makeReaderQueue(std::nullopt);
  return runOn(queue, makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(path.string(), true)));
}

std::string pathOf(const Url& url) { return url.path(); }

} // namespace

TEST(GitExecRepositoryDescriptorOperation, MainWorktree) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  auto d = describe(repo.path());
  EXPECT_EQ(pathOf(d.url), repo.path().string());
  EXPECT_EQ(pathOf(d.gitURL), (repo.path() / ".git").string());
  // git prints ".git" here; it becomes the absolute directory in the worktree.
  EXPECT_EQ(d.commonURL, d.gitURL);
  EXPECT_FALSE(d.isBare);
  EXPECT_FALSE(d.isShallow);
  EXPECT_EQ(d.displayName, repo.path().filename().string());
  EXPECT_TRUE(d.isValid());
}

TEST(GitExecRepositoryDescriptorOperation, SubdirectoryOfWorktree) {
  ScratchRepo repo;
  repo.commitFile("deep/er/a.txt", "a\n", "init");
  auto d = describe(repo.path() / "deep" / "er");
  EXPECT_EQ(pathOf(d.url), repo.path().string());
  EXPECT_EQ(pathOf(d.gitURL), (repo.path() / ".git").string());
  // git answers "../../.git", relative to the subdirectory it ran in.
  EXPECT_EQ(pathOf(d.commonURL), (repo.path() / ".git").string());
}

TEST(GitExecRepositoryDescriptorOperation, LinkedWorktree) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  TempDir place;
  auto linked = place.path() / "linked";
  repo.git({"worktree", "add", "-q", linked.string()});
  auto d = describe(linked);
  EXPECT_EQ(pathOf(d.url), linked.string());
  EXPECT_EQ(pathOf(d.gitURL), (repo.path() / ".git" / "worktrees" / "linked").string());
  EXPECT_EQ(pathOf(d.commonURL), (repo.path() / ".git").string());
  EXPECT_NE(d.commonURL, d.gitURL);
  EXPECT_EQ(d.displayName, "linked");
}

TEST(GitExecRepositoryDescriptorOperation, BareAndShallowRepositories) {
  ScratchRepo bare(true);
  auto d = describe(bare.path());
  EXPECT_TRUE(d.isBare);
  EXPECT_EQ(pathOf(d.url), bare.path().string());
  EXPECT_EQ(d.gitURL, d.url);
  EXPECT_EQ(d.commonURL, d.url);
  EXPECT_FALSE(d.worktreeURL());

  ScratchRepo origin;
  origin.commitFile("a.txt", "1\n", "one");
  origin.commitFile("a.txt", "2\n", "two");
  TempDir place;
  runProgram({"git", "clone", "-q", "--depth", "1", "file://" + origin.path().string(), (place.path() / "s").string()},
             place.path());
  auto shallow = describe(place.path() / "s");
  EXPECT_TRUE(shallow.isShallow);
  EXPECT_FALSE(shallow.isBare);
}

TEST(GitExecRepositoryDescriptorOperation, NonRepositoryIsInvalid) {
  TempDir plain;
  auto queue = makeReaderQueue(std::nullopt);
  auto future =
      makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(plain.path().string(), true))->enqueue(queue);
  try {
    future.wait(std::chrono::seconds(60));
    FAIL() << "expected invalidRepository";
  } catch (const TavrikError& error) {
    EXPECT_EQ(error.errorDescription, "Invalid Repository: " + plain.path().string());
  }
  // A folder that does not exist is named too, not only the errno of a child.
  const std::string missing = plain.path().string() + "/no/such/dir";
  try {
    makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(missing, true))
        ->enqueue(queue)
        .wait(std::chrono::seconds(60));
    FAIL() << "expected noSuchFolder";
  } catch (const TavrikError& error) {
    EXPECT_NE(error.localizedDescription().find(missing), std::string::npos) << error.localizedDescription();
  }
}

TEST(GitExecRepositoryDescriptorOperation, ChainsOnTheSameQueue) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "init");
  auto queue = makeReaderQueue(std::nullopt);
  auto first = makeOperation<GitExecRepositoryDescriptorOperation>(Url::fileURL(repo.path().string(), true));
  auto chained = repositoryDescriptor(first->enqueue(queue), Url::fileURL((repo.path() / ".git").string(), true));
  auto value = chained.wait(std::chrono::seconds(60));
  EXPECT_EQ(value.queue, queue);
  EXPECT_EQ(pathOf(value.value.gitURL), (repo.path() / ".git").string());
}
