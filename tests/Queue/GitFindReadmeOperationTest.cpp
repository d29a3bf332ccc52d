#include "tavrik/Queue/GitFindReadmeOperation.h"
#include "tavrik/Queue/GitRepoStatus.h"
#include "tavrik/Queue/TavrikError.h"

#include "State/ReadersTestSupport.h"
#include "Support/HashTesting.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::testing;

TEST(GitFindReadmeOperation, ChoosesMarkdownReadmeFirst) {
  using Names = std::vector<std::string>;
  struct Case {
    Names names;
    std::optional<std::string> chosen;
  } cases[] = {
      {{"README", "Readme.MD", "readme.txt"}, "Readme.MD"},
      {{"readme.txt", "README"}, "README"},  // name order decides
      {{"README.markdown", "ReadMe-dev.md", "README.MD"}, "README.MD"},
      {{"readme-b.md", "readme-a.md", "README"}, "readme-a.md"},
      {{"src", "LICENSE", "notes.md"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.names));
    EXPECT_EQ(GitFindReadmeOperation::chooseReadme(c.names), c.chosen);
  }
}

TEST(GitFindReadmeOperation, FindsReadmeInWorktree) {
  ScratchRepo repo;
  repo.write("README", "plain");
  repo.write("Readme.MD", "markdown");
  repo.write(".readme.md", "hidden");
  auto queue = makeReaderQueue(worktreeDescriptor(repo.path()));
  auto found = runOn(queue, makeOperation<GitFindReadmeOperation>());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path(), (repo.path() / "Readme.MD").string());

  auto none = makeReaderQueue(std::nullopt);
  EXPECT_FALSE(runOn(none, makeOperation<GitFindReadmeOperation>()));
}

TEST(GitFindReadmeOperation, UnlistableWorktreeFails) {
  TempDir place;
  auto queue = makeReaderQueue(worktreeDescriptor(place.path() / "missing"));
  auto future = makeOperation<GitFindReadmeOperation>()->enqueue(queue);
  EXPECT_THROW(future.wait(std::chrono::seconds(60)), TavrikError);
}

TEST(GitRepoStatus, UpdateKeepsOwnPartsWhereOtherHasNone) {
  GitRepoStatus status{Url::fileURL("/r/one", true), Url::fileURL("/r/one/README.md"), 3, GitHead{}};
  status.head->refname = "main";
  GitRepoStatus other{Url::fileURL("/r/two", true), std::nullopt, 5, std::nullopt};
  status.update(other);
  EXPECT_EQ(status.url, Url::fileURL("/r/two", true));
  EXPECT_EQ(status.name(), "two");
  EXPECT_EQ(status.readmeURL, Url::fileURL("/r/one/README.md"));
  EXPECT_EQ(status.changedFiles, 5);
  ASSERT_TRUE(status.head);
  EXPECT_EQ(status.head->refname, "main");
}

TEST(GitRepoStatus, OptionsAndHashAgreeWithEquality) {
  EXPECT_EQ(GitRepoStatusOptions::fast, GitRepoStatusOptions::head | GitRepoStatusOptions::readmeURL);
  EXPECT_EQ(GitRepoStatusOptions::fast.rawValue, 12u);
  EXPECT_EQ(GitRepoStatusOptions::slow, GitRepoStatusOptions::changedFiles);
  EXPECT_TRUE(GitRepoStatusOptions::fast.contains(GitRepoStatusOptions::head));
  EXPECT_FALSE(GitRepoStatusOptions::fast.contains(GitRepoStatusOptions::changedFiles));

  GitRepoStatus a{Url::fileURL("/r", true), std::nullopt, 1, std::nullopt};
  GitRepoStatus b = a;
  b.changedFiles = 2;
  GitRepoStatus c = a;
  c.head = GitHead{};
  GitRepoStatus d = a;
  d.readmeURL = Url::fileURL("/r/README");
  expectHashAgreesWithEquality<GitRepoStatus>({a, b, c, d, a, c});
  expectHashAgreesWithEquality<GitRepoStatusOptions>(
      {GitRepoStatusOptions::fast, GitRepoStatusOptions::slow, GitRepoStatusOptions::changedFiles});
}
