#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitStateFile.h"

#include "Support/HashTesting.h"
#include "Support/ScratchRepo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

using namespace tavrik;
using T = GitStateFileType;
namespace fs = std::filesystem;

namespace {

GitStateFileSet setOf(std::initializer_list<T> types) {
  std::vector<GitStateFile> files;
  for (auto t : types) files.push_back({t, isDirectory(t) ? std::nullopt : std::optional<std::string>("x")});
  return GitStateFileSet::fromFiles(files);
}

void touch(const fs::path& path, const std::string& content = "") {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Collects the lines logged while it lives.
class LogCapture {
public:
  LogCapture() {
    setLogSink([this](LogLevel level, std::string_view, std::string_view message) {
      std::lock_guard lock(mutex_);
      if (level == LogLevel::error) lines_.emplace_back(message);
    });
  }
  ~LogCapture() { setLogSink({}); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

} // namespace

TEST(GitStateFileType, RawValuesAndKinds) {
  ASSERT_EQ(kAllGitStateFileTypes.size(), 16u);
  EXPECT_EQ(kAllGitStateFileTypes.front(), T::MERGE_MSG_FILE);
  EXPECT_EQ(kAllGitStateFileTypes.back(), T::BISECT_LOG_FILE);
  int dirs = 0;
  for (auto t : kAllGitStateFileTypes) {
    EXPECT_EQ(gitStateFileTypeFromRawValue(rawValue(t)), t);
    dirs += isDirectory(t);
  }
  EXPECT_EQ(dirs, 3);
  EXPECT_EQ(rawValue(T::REBASE_APPLY_DIR), "rebase-apply/");
  EXPECT_EQ(rawValue(T::CHERRYPICK_HEAD_FILE), "CHERRY_PICK_HEAD");
  EXPECT_FALSE(gitStateFileTypeFromRawValue("rebase-apply"));
}

TEST(GitStateFileSet, DecidesStateByPrecedence) {
  struct Case {
    const char* name;
    GitStateFileSet set;
    GitState state;
  };
  const Case cases[] = {
      {"nothing", setOf({}), GitState::none},
      {"merge msg only", setOf({T::MERGE_MSG_FILE, T::SEQUENCER_DIR, T::REBASE_MERGE_ONTO_FILE}), GitState::none},
      {"merge", setOf({T::MERGE_HEAD_FILE, T::MERGE_MSG_FILE}), GitState::merge},
      {"interactive beats merge", setOf({T::MERGE_HEAD_FILE, T::REBASE_MERGE_DIR, T::REBASE_MERGE_INTERACTIVE_FILE}),
       GitState::rebaseInteractive},
      {"interactive file alone", setOf({T::REBASE_MERGE_INTERACTIVE_FILE}), GitState::rebaseInteractive},
      {"rebase merge", setOf({T::REBASE_MERGE_DIR, T::MERGE_HEAD_FILE}), GitState::rebaseMerge},
      {"rebase apply", setOf({T::REBASE_APPLY_DIR, T::REBASE_APPLY_REBASING_FILE}), GitState::rebase},
      {"rebasing beats applying", setOf({T::REBASE_APPLY_APPLYING_FILE, T::REBASE_APPLY_REBASING_FILE}),
       GitState::rebase},
      {"am", setOf({T::REBASE_APPLY_DIR, T::REBASE_APPLY_APPLYING_FILE}), GitState::applyMailbox},
      {"am or rebase", setOf({T::REBASE_APPLY_DIR, T::MERGE_HEAD_FILE}), GitState::applyMailboxOrRebase},
      {"merge beats revert", setOf({T::MERGE_HEAD_FILE, T::REVERT_HEAD_FILE}), GitState::merge},
      {"revert", setOf({T::REVERT_HEAD_FILE, T::SEQUENCER_DIR}), GitState::revert},
      {"revert sequence", setOf({T::REVERT_HEAD_FILE, T::SEQUENCER_TODO_FILE}), GitState::revertSequence},
      {"revert beats cherry-pick", setOf({T::CHERRYPICK_HEAD_FILE, T::REVERT_HEAD_FILE}), GitState::revert},
      {"cherry-pick", setOf({T::CHERRYPICK_HEAD_FILE}), GitState::cherrypick},
      {"cherry-pick sequence", setOf({T::CHERRYPICK_HEAD_FILE, T::SEQUENCER_TODO_FILE}),
       GitState::cherrypickSequence},
      {"todo alone", setOf({T::SEQUENCER_TODO_FILE}), GitState::none},
      {"bisect", setOf({T::BISECT_LOG_FILE}), GitState::bisect},
      {"cherry-pick beats bisect", setOf({T::BISECT_LOG_FILE, T::CHERRYPICK_HEAD_FILE}), GitState::cherrypick},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.set.state, c.state);
  }
}

TEST(GitState, TitlesAndTests) {
  EXPECT_EQ(title(GitState::applyMailboxOrRebase), "Apply Mailbox or Rebase");
  EXPECT_EQ(title(GitState::cherrypickSequence), "Cherry-Pick Sequence");
  EXPECT_EQ(title(GitState::rebaseInteractive), "Interactive Rebase");
  EXPECT_TRUE(isRebasing(GitState::rebaseMerge));
  EXPECT_FALSE(isRebasing(GitState::applyMailboxOrRebase));
  EXPECT_TRUE(anyOf(GitState::bisect, {GitState::merge, GitState::bisect}));
  EXPECT_FALSE(anyOf(GitState::none, {}));
}

TEST(GitStateFileSet, ReadsMarkersFromDirectory) {
  tavrik::testing::TempDir dir;
  touch(dir.path() / "MERGE_HEAD", "abc\n");
  touch(dir.path() / "MERGE_MSG", "Merge branch 'feature'\n");
  touch(dir.path() / "sequencer" / "todo", "pick 123\n");
  auto set = GitStateFileSet::read(Url::fileURL(dir.path().string(), true));
  EXPECT_EQ(set.state, GitState::merge);
  EXPECT_EQ(set.set.size(), 4u);
  EXPECT_EQ(set.file(T::MERGE_HEAD_FILE)->content, "abc\n");
  EXPECT_TRUE(set.has(T::SEQUENCER_DIR));
  EXPECT_FALSE(set.file(T::SEQUENCER_DIR)->content);
  EXPECT_EQ(set.file(T::SEQUENCER_TODO_FILE)->contentString(), "pick 123\n");
  EXPECT_FALSE(set.has(T::REBASE_APPLY_DIR));
  EXPECT_EQ(set.editMessage(), "Merge branch 'feature'\n");

  EXPECT_EQ(GitStateFileSet::read(Url::fileURL((dir.path() / "missing").string(), true)), setOf({}));
}

TEST(GitStateFileSet, LogsAndIgnoresMarkerOfWrongKind) {
  tavrik::testing::TempDir dir;
  touch(dir.path() / "rebase-merge");                        // a file where a directory belongs
  fs::create_directories(dir.path() / "MERGE_HEAD");          // a directory where a file belongs
  fs::create_directories(dir.path() / "rebase-apply" / "rebasing");
  LogCapture capture;
  auto set = GitStateFileSet::read(Url::fileURL(dir.path().string(), true));
  // rebase-apply/ is right; its "rebasing" member is a directory, so it is
  // ignored and the state falls back to the directory alone.
  EXPECT_EQ(set.state, GitState::applyMailboxOrRebase);
  EXPECT_FALSE(set.has(T::REBASE_MERGE_DIR));
  EXPECT_FALSE(set.has(T::MERGE_HEAD_FILE));
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"git: state file MERGE_HEAD has unexpected type",
                                                       "git: state file rebase-merge has unexpected type",
                                                       "git: state file rebase-apply/rebasing has unexpected type"}));

  tavrik::testing::TempDir onlyFile;
  touch(onlyFile.path() / "rebase-apply");
  LogCapture capture2;
  auto none = GitStateFileSet::read(Url::fileURL(onlyFile.path().string(), true));
  EXPECT_EQ(none.state, GitState::none);
  EXPECT_TRUE(none.set.empty());
  EXPECT_EQ(capture2.lines(), (std::vector<std::string>{"git: state file rebase-apply/ has unexpected type"}));
}

TEST(GitStateFileSet, UnreadableMarkerIsPresentWithoutContent) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  tavrik::testing::TempDir dir;
  touch(dir.path() / "CHERRY_PICK_HEAD", "abc");
  fs::permissions(dir.path() / "CHERRY_PICK_HEAD", fs::perms::none);
  auto set = GitStateFileSet::read(Url::fileURL(dir.path().string(), true));
  EXPECT_EQ(set.state, GitState::cherrypick);
  EXPECT_FALSE(set.file(T::CHERRYPICK_HEAD_FILE)->content);
}

TEST(GitStateFileSet, EditMessagePrefersMergeMessage) {
  auto withMessages = [](std::optional<std::string> mergeMsg, std::optional<std::string> rebaseMsg) {
    std::vector<GitStateFile> files;
    if (mergeMsg) files.push_back({T::MERGE_MSG_FILE, mergeMsg});
    if (rebaseMsg) files.push_back({T::REBASE_MERGE_MESSAGE_FILE, rebaseMsg});
    return GitStateFileSet::fromFiles(files).editMessage();
  };
  EXPECT_EQ(withMessages("merge", "rebase"), "merge");
  // A message in a legacy encoding is the user's text all the same.
  EXPECT_EQ(withMessages(std::string("caf\xE9"), "rebase"), "caf\xE9");
  EXPECT_EQ(withMessages(std::nullopt, "rebase"), "rebase");
  EXPECT_FALSE(withMessages(std::nullopt, std::nullopt));
}

// The markers real git leaves behind for a conflicted merge and a conflicted
// cherry-pick of several commits.
TEST(GitStateFileSet, ReadsStatesLeftByRealGit) {
  tavrik::testing::makeGitEnvironmentHermetic();
  tavrik::testing::ScratchRepo repo;
  repo.commitFile("f.txt", "base\n", "base");
  repo.git({"checkout", "-q", "-b", "feature"});
  std::string c1 = repo.commitFile("f.txt", "feature\n", "feature change");
  std::string c2 = repo.commitFile("g.txt", "more\n", "feature more");
  repo.git({"checkout", "-q", "main"});
  repo.commitFile("f.txt", "main\n", "main change");
  const Url gitDir = Url::fileURL((repo.path() / ".git").string(), true);

  EXPECT_EQ(GitStateFileSet::read(gitDir).state, GitState::none);

  EXPECT_NE(repo.tryGit({"merge", "feature"}).status, 0);
  auto merging = GitStateFileSet::read(gitDir);
  EXPECT_EQ(merging.state, GitState::merge);
  ASSERT_TRUE(merging.editMessage());
  EXPECT_NE(merging.editMessage()->find("Merge branch 'feature'"), std::string::npos);
  GitHeadList list{merging, {}, {}, {}};
  list.mergeHead.refname = "feature";
  list.origHead.refname = "main";
  EXPECT_EQ(list.stateTitle(), "Merge feature into main");
  repo.git({"merge", "--abort"});

  EXPECT_NE(repo.tryGit({"cherry-pick", c1, c2}).status, 0);
  EXPECT_EQ(GitStateFileSet::read(gitDir).state, GitState::cherrypickSequence);
  repo.git({"cherry-pick", "--abort"});
  EXPECT_NE(repo.tryGit({"cherry-pick", c1}).status, 0);
  EXPECT_EQ(GitStateFileSet::read(gitDir).state, GitState::cherrypick);
  repo.git({"cherry-pick", "--abort"});

  EXPECT_NE(repo.tryGit({"rebase", "feature"}).status, 0);
  EXPECT_TRUE(isRebasing(GitStateFileSet::read(gitDir).state));
  repo.git({"rebase", "--abort"});
  EXPECT_EQ(GitStateFileSet::read(gitDir).state, GitState::none);
}

TEST(GitHeadList, StateTitleAndDetached) {
  GitHeadList list{setOf({T::MERGE_HEAD_FILE}), {}, {}, {}};
  EXPECT_EQ(list.stateTitle(), "Merge");  // heads without names
  list.mergeHead.refname = "feature";
  EXPECT_EQ(list.stateTitle(), "Merge");
  list.origHead.refname = "main";
  EXPECT_EQ(list.stateTitle(), "Merge feature into main");
  list.stateFiles = setOf({T::BISECT_LOG_FILE});
  EXPECT_EQ(list.stateTitle(), "Bisect");
  EXPECT_FALSE(list.isDetached());
  list.head.isSymbolic = true;
  EXPECT_TRUE(list.isDetached());
}

TEST(GitHead, RawValuesAndSubject) {
  EXPECT_EQ(rawValue(GitHeadFile::origHead), "ORIG_HEAD");
  EXPECT_EQ(gitHeadFileFromRawValue("MERGE_HEAD"), GitHeadFile::mergeHead);
  EXPECT_FALSE(gitHeadFileFromRawValue("FETCH_HEAD"));
  EXPECT_EQ(rawValue(GitFormatField::authorDateStrictISO8601), "%aI");
  EXPECT_EQ(rawValue(GitFormatField::refNamesWithoutWrapping), "%D");
  GitHead h;
  EXPECT_FALSE(h.lastSubject());
  h.lastMessage = "";
  EXPECT_EQ(h.lastSubject(), "");
  h.lastMessage = "  \n\nFix build\nDetails\n";
  EXPECT_EQ(h.lastSubject(), "Fix build");
}

TEST(GitStateFileSet, HashAgreesWithEquality) {
  std::vector<GitStateFileSet> sets = {setOf({}), setOf({}), setOf({T::MERGE_HEAD_FILE}), setOf({T::MERGE_HEAD_FILE}),
                                       setOf({T::BISECT_LOG_FILE}), setOf({T::MERGE_HEAD_FILE, T::MERGE_MSG_FILE}),
                                       GitStateFileSet::fromFiles({{T::MERGE_HEAD_FILE, "y"}})};
  tavrik::testing::expectHashAgreesWithEquality(sets);
  GitHead a;
  a.refname = "main";
  GitHead b = a;
  b.commit = Oid::zero;
  GitHead c = a;
  c.lastAuthor = GitSignature{"n", "e", {}};
  tavrik::testing::expectHashAgreesWithEquality(std::vector<GitHead>{GitHead{}, GitHead{}, a, a, b, c});
  std::vector<GitHeadList> lists(5);
  lists[2].stateFiles = sets[2];
  lists[3].head = a;
  lists[4].mergeHead = a;
  tavrik::testing::expectHashAgreesWithEquality(lists);
}
