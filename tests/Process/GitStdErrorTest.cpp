#include "tavrik/Process/GitStdError.h"

#include <gtest/gtest.h>

using tavrik::GitStdError;
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
      {"error: unable to read askpass response from '/p/bin/askpass'\n"
       "fatal: could not read Password for 'http://alice@127.0.0.1:8080': terminal prompts disabled",
       Kind::authenticationFailed,
       {"fatal: could not read Password for 'http://alice@127.0.0.1:8080'", "http://alice@127.0.0.1:8080"}},
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
      {"Preparing worktree (checking out 'b1')\nfatal: 'b1' is already checked out at '/tmp/w 1'",
       Kind::branchCheckedOutElsewhere,
       {"fatal: 'b1' is already checked out at '/tmp/w 1'", "b1", "/tmp/w 1"}},
      {"fatal: 'b1' is already used by worktree at '/tmp/w'", Kind::branchCheckedOutElsewhere,
       {"fatal: 'b1' is already used by worktree at '/tmp/w'", "b1", "/tmp/w"}},
      {"fatal: '/tmp/w' contains modified or untracked files, use --force to delete it", Kind::worktreeHasChanges,
       {"fatal: '/tmp/w' contains modified or untracked files, use --force to delete it", "/tmp/w"}},
      {"fatal: cannot move a locked working tree, lock reason: x\nuse 'move -f -f' to override or unlock first",
       Kind::worktreeLocked, {"fatal: cannot move a locked working tree"}},
      {"error: gpg failed to sign the data\nfatal: failed to write commit object", Kind::signingFailed,
       {"error: gpg failed to sign the data"}},
      {"error: askpass: declined\nLoad key \"/k\": incorrect passphrase supplied to decrypt private key?\n\n"
       "fatal: failed to write commit object",
       Kind::signingFailed,
       {"Load key \"/k\": incorrect passphrase supplied to decrypt private key?\n\nfatal: failed to write commit object"}},
      {"error: askpass: declined\nLoad key \"/k\": incorrect passphrase supplied to decrypt private key?\n",
       Kind::signingFailed, {"Load key \"/k\": incorrect passphrase supplied to decrypt private key?\n"}},
      {"Load key \"/k\": invalid format\ngit@host: Permission denied (publickey).", Kind::other, {}},
      // Without a signing program's words, a failed commit write is no signing failure.
      {"fatal: failed to write commit object", Kind::other, {}},
      {"running  'sh' '-c' 'exit 200'\nerror: bisect run failed: exit code 200 from ' 'sh' '-c' 'exit 200'' is < 0 or "
       ">= 128", Kind::bisectRunAborted, {"bisect run failed: exit code 200 from", "200"}},
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

// The first rule that matches decides, wherever its text stands; bytes that
// are not UTF-8 and 10 MB of text do not stop the search.
TEST(GitStdError, FirstRuleWinsOverAnyText) {
  const std::string checkout = "error: Your local changes to the following files would be overwritten by checkout:\n";
  const std::string behind = "hint: Updates were rejected because the tip of your current branch is behind\n";
  EXPECT_EQ(GitStdError(1, checkout + behind).kind(), Kind::tipBehind);
  GitStdError invalid(128, std::string("\xff\xfe garbage \xc3\x28 fatal: Authentication failed for 'h\xe2\x82'x'\n"
                                       "\xed\xa0\x80 fatal: authentication FAILED for 'ok'"));
  EXPECT_EQ(invalid.kind(), Kind::authenticationFailed);
  EXPECT_EQ(invalid.groups().at(1), "ok"); // the first URL holds an invalid sequence and cannot match
  std::string huge;
  while (huge.size() < (10u << 20)) huge += "remote: fatal: Authentication failed for 'no closing quote\n";
  huge += "error: cannot pull with rebase: You have unstaged changes.";
  EXPECT_EQ(GitStdError::classify(huge).kind, Kind::cantPullUncommittedChanges);
  EXPECT_EQ(GitStdError::classify(huge + "\nfatal: Authentication failed for 'u'").kind, Kind::authenticationFailed);
}
