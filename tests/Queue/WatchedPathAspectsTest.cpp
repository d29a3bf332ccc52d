#include "Queue/WatchedPathAspects.h"

#include <gtest/gtest.h>

using namespace tavrik;
using namespace tavrik::detail;

namespace {

const GitAspects kNone;
const GitAspects kHeadRefs{GitAspects::head, GitAspects::refs};
const GitAspects kHeadState{GitAspects::head, GitAspects::stateFiles};
const GitAspects kStatusSubmodules{GitAspects::status, GitAspects::submodules};

} // namespace

TEST(WatchedPathAspects, GitDirectoryPathsTouchTheirAspects) {
  struct Row {
    WatchArea area;
    const char* path;
    bool shared;
    GitAspects expected;
  };
  const WatchArea git = WatchArea::gitDir, common = WatchArea::commonDir;
  const Row rows[] = {
      {git, "HEAD", true, {kHeadState, kHeadRefs}},
      {git, "HEAD", false, kHeadState}, // a linked worktree's own HEAD
      {common, "HEAD", false, kHeadRefs},
      {git, "index", true, GitAspects::status},
      {common, "index", false, kNone}, // the main worktree's index, not this one's
      {git, "index.lock", true, kNone},
      {git, "refs/heads/main.lock", true, kNone},
      {git, "packed-refs", true, kHeadRefs},
      {git, "packed-refs", false, kNone},
      {common, "packed-refs", false, kHeadRefs},
      {git, "config", true, GitAspects::config},
      {git, "config.worktree", false, GitAspects::config},
      {git, "refs", true, kHeadRefs},
      {git, "refs/heads/topic/x", true, kHeadRefs},
      {git, "refs/stash", true, GitAspects::stashes},
      {git, "logs", true, GitAspects::reflogs},
      {git, "logs/HEAD", true, GitAspects::reflogs},
      {git, "logs/refs/stash", true, {GitAspects::stashes, GitAspects::reflogs}},
      {git, "info/exclude", true, GitAspects::status},
      {git, "modules", true, GitAspects::submodules},
      {git, "modules/lib/HEAD", true, {GitAspects::submodules, GitAspects::status}},
      {git, "MERGE_HEAD", true, kHeadState},
      {git, "MERGE_MSG", true, kHeadState},
      {git, "BISECT_LOG", true, kHeadState},
      {git, "CHERRY_PICK_HEAD", true, kHeadState},
      {common, "MERGE_HEAD", false, kNone}, // the main worktree's merge
      {git, "rebase-merge/done", true, kHeadState},
      {git, "sequencer/todo", true, kHeadState},
      {git, "objects/ab/cdef", true, kNone},
      {git, "FETCH_HEAD", true, kNone},
      {git, "COMMIT_EDITMSG", true, kNone},
      {git, "worktrees", true, GitAspects::worktrees},
      {common, "worktrees/wt 2", false, GitAspects::worktrees},
      {common, "worktrees/wt/locked", false, GitAspects::worktrees},
      {git, "worktrees/wt/HEAD", true, GitAspects::worktrees},
      {git, "worktrees/wt/index", true, kNone}, // that worktree's own status
      {git, "worktrees/wt/logs/HEAD", true, kNone},
      {git, "worktrees/wt", false, kNone}, // a linked worktree's private folder has none
  };
  for (auto& row : rows) {
    SCOPED_TRACE(std::string(row.area == git ? "gitDir " : "commonDir ") + row.path + (row.shared ? " shared" : ""));
    EXPECT_EQ(gitDirectoryChangeAspects(row.area, row.path, row.shared), row.expected);
  }
}

TEST(WatchedPathAspects, WorktreeEntriesCountForStatusUnlessGitSaysOtherwise) {
  struct Row {
    const char* folder;
    const char* name;
    bool inSubmodule;
    bool appearedFolder;
    GitAspects aspects;
    bool candidate;
    bool rereadIgnores;
  };
  const Row rows[] = {
      {"", "a.txt", false, false, kNone, true, false},
      {"src/deep", "b.txt", false, false, kNone, true, false},
      {"", "new", false, true, kNone, false, false}, // counts by the files found in it
      {"", ".git", false, false, kNone, false, false},
      {"vendor", ".git", false, false, kStatusSubmodules, false, false},
      {"lib", "file.c", true, false, kStatusSubmodules, false, false},
      {"", ".gitignore", false, false, GitAspects::status, false, true},
      {"src", ".gitignore", false, false, GitAspects::status, false, true},
      {"", ".gitmodules", false, false, kStatusSubmodules, false, false},
      {"src", ".gitmodules", false, false, kNone, true, false},
      {"", ".gitmodules.lock", false, false, kNone, false, false},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(std::string(row.folder) + " / " + row.name);
    auto change = worktreeChange(row.folder, row.name, row.inSubmodule, row.appearedFolder);
    EXPECT_EQ(change.aspects, row.aspects);
    EXPECT_EQ(change.candidate, row.candidate);
    EXPECT_EQ(change.rereadIgnores, row.rereadIgnores);
  }
}

TEST(WatchedPathAspects, OnlyGitFoldersThatHoldStateAreWatched) {
  for (const char* name :
       {"refs", "logs", "info", "modules", "rebase-merge", "rebase-apply", "sequencer", "worktrees"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(watchesGitFolder("", name));
  }
  for (const char* name : {"objects", "hooks", "lfs"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(watchesGitFolder("", name));
  }
  EXPECT_TRUE(watchesGitFolder("refs", "heads"));
  EXPECT_TRUE(watchesGitFolder("modules", "lib"));
  EXPECT_FALSE(watchesGitFolder("modules/lib", "objects"));
  EXPECT_FALSE(watchesGitFolder("modules/lib", "hooks"));
  EXPECT_TRUE(watchesGitFolder("modules/lib", "refs"));
  EXPECT_TRUE(watchesGitFolder("worktrees", "wt"));
  EXPECT_FALSE(watchesGitFolder("worktrees/wt", "logs"));
}
