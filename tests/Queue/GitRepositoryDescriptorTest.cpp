#include "tavrik/Queue/GitRepositoryDescriptor.h"

#include "Support/HashTesting.h"
#include "Support/ScratchRepo.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace tavrik;

TEST(GitRepositoryDescriptor, UncheckedWorktreeTouchesNoFile) {
  auto d = GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL("/r", true), true);
  EXPECT_EQ(d.url.path(), "/r");
  EXPECT_EQ(d.gitURL.path(), "/r/.git");
  EXPECT_EQ(d.commonURL.path(), "/r/.git");
  EXPECT_FALSE(d.isBare);
  EXPECT_TRUE(d.isShallow);
  EXPECT_EQ(d.displayName, "r");
  EXPECT_FALSE(d.isValid()); // /r/.git does not exist
}

TEST(GitRepositoryDescriptor, ComputedLocationsOfAWorktree) {
  GitRepositoryDescriptor d{Url::fileURL("/w/linked", true), Url::fileURL("/w/main/.git/worktrees/linked", true),
                            Url::fileURL("/w/main/.git", true), false, false, "linked"};
  EXPECT_EQ(d.hooksURL().path(), "/w/main/.git/hooks");
  EXPECT_EQ(d.configURL().path(), "/w/main/.git/config");
  EXPECT_EQ(d.excludesURL().path(), "/w/main/.git/info/exclude");
  EXPECT_EQ(d.modulesURL().path(), "/w/main/.git/modules");
  EXPECT_EQ(d.logsURL().path(), "/w/main/.git/logs");
  EXPECT_EQ(d.defaultsURL().path(), "/w/main/.git/vantry/defaults.plist");
  EXPECT_EQ(d.worktreeURL()->path(), "/w/linked");
  EXPECT_EQ(d.gitignoreURL()->path(), "/w/linked/.gitignore");
  EXPECT_EQ(d.gitattributesURL()->path(), "/w/linked/.gitattributes");
  EXPECT_EQ(d.submoduleURL("libs/sub")->path(), "/w/linked/libs/sub");
  EXPECT_EQ(GitRepositoryDescriptor::defaultsURLFor(Url::fileURL("/x/.git", true)).path(),
            "/x/.git/vantry/defaults.plist");
}

TEST(GitRepositoryDescriptor, BareRepositoryHasNoWorktreeLocations) {
  tavrik::testing::ScratchRepo bare(/*bare=*/true);
  auto url = Url::fileURL(bare.path().string(), true);
  GitRepositoryDescriptor d{url, url, url, true, false, url.lastPathComponent()};
  EXPECT_TRUE(d.isValid());
  EXPECT_EQ(d.displayName, bare.path().filename().string());
  EXPECT_EQ(d.worktreeURL(), std::nullopt);
  EXPECT_EQ(d.gitignoreURL(), std::nullopt);
  EXPECT_EQ(d.gitattributesURL(), std::nullopt);
  EXPECT_EQ(d.submoduleURL("anything"), std::nullopt);
  EXPECT_EQ(d.configURL().path(), url.path() + "/config");
}

TEST(GitRepositoryDescriptor, ValidOnlyWhenTheGitDirectoryIsADirectory) {
  tavrik::testing::ScratchRepo repo;
  auto d = GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(repo.path().string(), true), false);
  EXPECT_TRUE(d.isValid());
  repo.write("plainfile", "x");
  auto file = d;
  file.gitURL = Url::fileURL((repo.path() / "plainfile").string());
  EXPECT_FALSE(file.isValid());
}

TEST(GitRepositoryDescriptor, ChangingDisplayNameKeepsEverythingElse) {
  auto d = GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL("/r", true), false);
  auto renamed = d.changingDisplayName("Project");
  EXPECT_EQ(renamed.displayName, "Project");
  EXPECT_EQ(d.displayName, "r");
  EXPECT_NE(renamed, d);
  EXPECT_EQ(renamed.changingDisplayName("r"), d);
}

TEST(GitRepositoryDescriptor, HashAgreesWithEquality) {
  auto a = GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL("/a", true), false);
  auto shallow = GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL("/a", true), true);
  auto bare = a;
  bare.isBare = true;
  tavrik::testing::expectHashAgreesWithEquality<GitRepositoryDescriptor>(
      {a, a, shallow, bare, a.changingDisplayName("x"),
       GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL("/b", true), false)});
}

TEST(GitRepositoryDescriptor, GlobalConfigIsInTheRealUsersHome) {
  auto url = GitRepositoryDescriptor::globalConfigURL();
  const passwd* entry = getpwuid(getuid());
  if (!entry) {
    EXPECT_EQ(url, std::nullopt);
    return;
  }
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->path(), Url::fileURL(entry->pw_dir, true).appendingPathComponent(".gitconfig").path());
}
