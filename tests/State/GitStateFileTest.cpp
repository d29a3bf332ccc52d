#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitStateFile.h"

#include "Support/Helpers.h"

#include <fstream>

using namespace tavrik;
using namespace tavrik::testing;
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

} // namespace

TEST(GitStateFileSet, DecidesStateByPrecedence) {
  struct Case {
    const char* name;
    GitStateFileSet set;
    GitState state;
  } cases[] = {
      {"nothing", setOf({}), GitState::none},
      {"merge msg only", setOf({T::MERGE_MSG_FILE, T::SEQUENCER_DIR, T::REBASE_MERGE_ONTO_FILE}), GitState::none},
      {"merge", setOf({T::MERGE_HEAD_FILE, T::MERGE_MSG_FILE}), GitState::merge},
      {"interactive beats merge", setOf({T::MERGE_HEAD_FILE, T::REBASE_MERGE_DIR, T::REBASE_MERGE_INTERACTIVE_FILE}),
       GitState::rebaseInteractive},
      {"rebase merge", setOf({T::REBASE_MERGE_DIR, T::MERGE_HEAD_FILE}), GitState::rebaseMerge},
      {"rebasing beats applying", setOf({T::REBASE_APPLY_APPLYING_FILE, T::REBASE_APPLY_REBASING_FILE}), GitState::rebase},
      {"am", setOf({T::REBASE_APPLY_DIR, T::REBASE_APPLY_APPLYING_FILE}), GitState::applyMailbox},
      {"am or rebase", setOf({T::REBASE_APPLY_DIR, T::MERGE_HEAD_FILE}), GitState::applyMailboxOrRebase},
      {"merge beats revert", setOf({T::MERGE_HEAD_FILE, T::REVERT_HEAD_FILE}), GitState::merge},
      {"revert sequence", setOf({T::REVERT_HEAD_FILE, T::SEQUENCER_TODO_FILE}), GitState::revertSequence},
      {"revert beats cherry-pick", setOf({T::CHERRYPICK_HEAD_FILE, T::REVERT_HEAD_FILE}), GitState::revert},
      {"cherry-pick sequence", setOf({T::CHERRYPICK_HEAD_FILE, T::SEQUENCER_TODO_FILE}), GitState::cherrypickSequence},
      {"todo alone", setOf({T::SEQUENCER_TODO_FILE}), GitState::none},
      {"cherry-pick beats bisect", setOf({T::BISECT_LOG_FILE, T::CHERRYPICK_HEAD_FILE}), GitState::cherrypick},
      {"bisect", setOf({T::BISECT_LOG_FILE}), GitState::bisect},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.set.state, c.state);
  }
}

TEST(GitStateFileSet, ReadsMarkersWithContent) {
  TempDir dir;
  touch(dir.path() / "MERGE_HEAD", "abc\n");
  touch(dir.path() / "MERGE_MSG", "Merge branch 'feature'\n");
  touch(dir.path() / "sequencer" / "todo", "pick 123\n");
  auto set = GitStateFileSet::read(Url::fileURL(dir.path().string(), true));
  EXPECT_EQ(set.state, GitState::merge);
  EXPECT_EQ(set.set.size(), 4u);
  EXPECT_EQ(set.file(T::MERGE_HEAD_FILE)->content, "abc\n");
  EXPECT_FALSE(set.file(T::SEQUENCER_DIR)->content);
  EXPECT_EQ(set.file(T::SEQUENCER_TODO_FILE)->contentString(), "pick 123\n");
  EXPECT_EQ(set.editMessage(), "Merge branch 'feature'\n");
  EXPECT_EQ(GitStateFileSet::read(Url::fileURL((dir.path() / "missing").string(), true)), setOf({}));
}

// A file where a directory belongs, or the reverse, is logged and ignored.
TEST(GitStateFileSet, LogsAndIgnoresMarkerOfWrongKind) {
  TempDir dir;
  touch(dir.path() / "rebase-merge");
  fs::create_directories(dir.path() / "MERGE_HEAD");
  fs::create_directories(dir.path() / "rebase-apply" / "rebasing");
  LogCapture capture;
  auto set = GitStateFileSet::read(Url::fileURL(dir.path().string(), true));
  EXPECT_EQ(set.state, GitState::applyMailboxOrRebase);
  EXPECT_EQ(capture.messages(LogLevel::error),
            (std::vector<std::string>{"git: state file MERGE_HEAD has unexpected type",
                                      "git: state file rebase-merge has unexpected type",
                                      "git: state file rebase-apply/rebasing has unexpected type"}));
  TempDir onlyFile;
  touch(onlyFile.path() / "rebase-apply");
  EXPECT_EQ(GitStateFileSet::read(Url::fileURL(onlyFile.path().string(), true)).state, GitState::none);
}

TEST(GitStateFileSet, EditMessagePrefersMergeMessage) {
  auto withMessages = [](std::optional<std::string> mergeMsg, std::optional<std::string> rebaseMsg) {
    std::vector<GitStateFile> files;
    if (mergeMsg) files.push_back({T::MERGE_MSG_FILE, mergeMsg});
    if (rebaseMsg) files.push_back({T::REBASE_MERGE_MESSAGE_FILE, rebaseMsg});
    return GitStateFileSet::fromFiles(files).editMessage();
  };
  EXPECT_EQ(withMessages("merge", "rebase"), "merge");
  EXPECT_EQ(withMessages(std::string("caf\xE9"), "rebase"), "caf\xE9"); // a legacy encoding is the user's text
  EXPECT_EQ(withMessages(std::nullopt, "rebase"), "rebase");
  EXPECT_FALSE(withMessages(std::nullopt, std::nullopt));
}

TEST(GitHeadList, StateTitleNamesBothHeadsOfAMerge) {
  GitHeadList list{setOf({T::MERGE_HEAD_FILE}), {}, {}, {}, {}};
  list.mergeHead.refname = "feature";
  EXPECT_EQ(list.stateTitle(), "Merge"); // without ORIG_HEAD's name
  list.origHead.refname = "main";
  EXPECT_EQ(list.stateTitle(), "Merge feature into main");
  list.stateFiles = setOf({T::BISECT_LOG_FILE});
  EXPECT_EQ(list.stateTitle(), "Bisect");
  GitHead h;
  h.lastMessage = "  \n\nFix build\nDetails\n";
  EXPECT_EQ(h.lastSubject(), "Fix build");
}
