#include "tavrik/Process/GitStdError.h"

#include <gtest/gtest.h>

#include <unordered_set>

using tavrik::GitStdError;
using tavrik::GitStdErrorUserInfoKey;
using Kind = GitStdError::Kind;

namespace {

struct Case {
  const char* text;
  Kind kind;
  std::vector<std::string> groups;
};

} // namespace

// Error output as git writes it, against the kind a client gets.
TEST(GitStdError, ClassifiesRealGitMessages) {
  const std::vector<Case> cases = {
      {"remote: Invalid username or password.\nfatal: Authentication failed for 'https://github.com/o/r.git/'",
       Kind::authenticationFailed,
       {"fatal: Authentication failed for 'https://github.com/o/r.git/'", "https://github.com/o/r.git/"}},
      {"remote: fatal: Authentication failed for 'https://host/x'\n",
       Kind::authenticationFailed,
       {"fatal: Authentication failed for 'https://host/x'", "https://host/x"}},
      {"To /tmp/remote.git\n ! [rejected]        main -> main (non-fast-forward)\n"
       "error: failed to push some refs to '/tmp/remote.git'\n"
       "hint: Updates were rejected because the tip of your current branch is behind\n"
       "hint: its remote counterpart. Integrate the remote changes (e.g.\n",
       Kind::tipBehind,
       {"hint: Updates were rejected because the tip of your current branch is behind"}},
      {"HINT: UPDATES WERE REJECTED BECAUSE THE TIP OF YOUR CURRENT BRANCH IS BEHIND",
       Kind::tipBehind,
       {"HINT: UPDATES WERE REJECTED BECAUSE THE TIP OF YOUR CURRENT BRANCH IS BEHIND"}},
      {"Updating 1b2c3d4..5e6f7a8\nerror: Your local changes to the following files would be overwritten by merge:\n"
       "\tfile.txt\nPlease commit your changes or stash them before you merge.\nAborting",
       Kind::cantMergeLocalChanges,
       {"error: Your local changes to the following files would be overwritten by merge"}},
      {"error: Pulling is not possible because you have unmerged files.\n"
       "hint: Fix them up in the work tree, and then use 'git add/rm <file>'\n"
       "fatal: Exiting because of an unresolved conflict.",
       Kind::cantPullUnmergedFiles,
       {"error: Pulling is not possible because you have unmerged files."}},
      {"error: cannot pull with rebase: Your index contains uncommitted changes.\n"
       "error: please commit or stash them.",
       Kind::cantPullUncommittedChanges,
       {"error: cannot pull with rebase: Your index contains uncommitted changes."}},
      {"error: cannot pull with rebase: You have unstaged changes.\nerror: please commit or stash them.",
       Kind::cantPullUncommittedChanges,
       {"error: cannot pull with rebase: You have unstaged changes."}},
      {"error: Your local changes to the following files would be overwritten by checkout:\n\tfile.txt\n"
       "Please commit your changes or stash them before you switch branches.\nAborting",
       Kind::cantCheckoutUncommittedChanges,
       {"error: Your local changes to the following files would be overwritten by checkout:"}},
      {"fatal: not a git repository (or any of the parent directories): .git", Kind::other, {}},
      {"", Kind::other, {}},
      // The quoted URL must close on the same line.
      {"fatal: Authentication failed for 'https://host\n/x'", Kind::other, {}},
      // A checkout message without its colon is not the checkout case.
      {"error: Your local changes to the following files would be overwritten by checkout", Kind::other, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    GitStdError error(128, std::string(c.text));
    EXPECT_EQ(error.kind(), c.kind);
    EXPECT_EQ(error.groups(), c.groups);
    EXPECT_EQ(error.isSevere(), c.kind == Kind::other);
  }
}

TEST(GitStdError, FirstRowWins) {
  std::string text = "error: Your local changes to the following files would be overwritten by checkout:\n"
                     "hint: Updates were rejected because the tip of your current branch is behind\n";
  EXPECT_EQ(GitStdError(1, text).kind(), Kind::tipBehind);
}

TEST(GitStdError, AbsentTextIsOther) {
  GitStdError error(1, std::nullopt);
  EXPECT_EQ(error.kind(), Kind::other);
  EXPECT_TRUE(error.groups().empty());
  EXPECT_TRUE(error.isSevere());
  EXPECT_EQ(error.errorDescription(), "Git exited with status 1");
}

TEST(GitStdError, SurvivesInvalidUtf8) {
  std::string text = "\xff\xfe garbage \xc3\x28 fatal: Authentication failed for 'h\xe2\x82'x'\n"
                     "\xed\xa0\x80 fatal: authentication FAILED for 'ok'";
  GitStdError error(128, text);
  // The first URL holds an invalid sequence and cannot match; the second can.
  EXPECT_EQ(error.kind(), Kind::authenticationFailed);
  ASSERT_EQ(error.groups().size(), 2u);
  EXPECT_EQ(error.groups()[1], "ok");
}

TEST(GitStdError, ClassifiesHugeText) {
  std::string text;
  text.reserve(10 << 20);
  while (text.size() < (10u << 20)) text += "remote: fatal: Authentication failed for 'no closing quote\n";
  text += "error: cannot pull with rebase: You have unstaged changes.";
  EXPECT_EQ(GitStdError::classify(text).kind, Kind::cantPullUncommittedChanges);
  text += "\nfatal: Authentication failed for 'u'";
  EXPECT_EQ(GitStdError::classify(text).kind, Kind::authenticationFailed);
}

TEST(GitStdError, DescriptionHasStatusTextKindAndUserInfo) {
  GitStdError error(128, std::string("fatal: Authentication failed for 'https://h/r'"));
  auto withRemote = error.attach({{"remoteName", "origin"}, {"a", "1"}});
  EXPECT_EQ(withRemote.errorDescription(),
            "Git exited with status 128\n\nfatal: Authentication failed for 'https://h/r'\n\nkind: authenticationFailed"
            "\na: 1\nremoteName: origin");
  EXPECT_EQ(withRemote.localizedDescription(), withRemote.errorDescription());
  EXPECT_STREQ(withRemote.what(), withRemote.errorDescription().c_str());
  EXPECT_EQ(GitStdError(2, std::string("boom")).errorDescription(), "Git exited with status 2\n\nboom");
}

TEST(GitStdError, AttachReplacesAndKeepsTheRest) {
  GitStdError error(1, std::string("fatal: Authentication failed for 'x'"), {{"remoteName", "a"}, {"k", "v"}});
  auto copy = error.attach({{"remoteName", "b"}});
  EXPECT_EQ(copy.userInfo(GitStdErrorUserInfoKey::remoteName), "b");
  EXPECT_EQ(copy.userInfo().at("k"), "v");
  EXPECT_EQ(copy.status(), 1);
  EXPECT_EQ(copy.kind(), error.kind());
  EXPECT_EQ(copy.groups(), error.groups());
  EXPECT_EQ(copy.text(), error.text());
  EXPECT_EQ(error.userInfo(GitStdErrorUserInfoKey::remoteName), "a"); // original unchanged
  EXPECT_EQ(GitStdError(1, std::nullopt).userInfo(GitStdErrorUserInfoKey::remoteName), std::nullopt);
}

TEST(GitStdError, KindRawValuesRoundTrip) {
  for (auto kind : {Kind::other, Kind::authenticationFailed, Kind::tipBehind, Kind::cantMergeLocalChanges,
                    Kind::cantPullUnmergedFiles, Kind::cantPullUncommittedChanges,
                    Kind::cantCheckoutUncommittedChanges}) {
    EXPECT_EQ(tavrik::gitStdErrorKind(tavrik::rawValue(kind)), kind);
  }
  EXPECT_EQ(tavrik::rawValue(Kind::cantPullUnmergedFiles), "cantPullUnmergedFiles");
  EXPECT_EQ(tavrik::gitStdErrorKind("nope"), std::nullopt);
  EXPECT_EQ(tavrik::rawValue(GitStdErrorUserInfoKey::remoteName), "remoteName");
}

TEST(GitStdError, HashAgreesWithEquality) {
  std::vector<GitStdError> values = {
      GitStdError(1, std::string("a")), GitStdError(1, std::string("a")), GitStdError(2, std::string("a")),
      GitStdError(1, std::nullopt), GitStdError(1, std::string("a"), {{"remoteName", "o"}}),
      GitStdError(1, std::string("fatal: Authentication failed for 'x'"))};
  std::hash<GitStdError> hash;
  for (const auto& a : values) {
    for (const auto& b : values) {
      if (a == b) {
        EXPECT_EQ(hash(a), hash(b));
      }
    }
  }
  EXPECT_EQ(values[0], values[1]);
  EXPECT_FALSE(values[0] == values[2]);
  EXPECT_FALSE(values[0] == values[4]);
  std::unordered_set<GitStdError> set(values.begin(), values.end());
  EXPECT_EQ(set.size(), values.size() - 1);
}
