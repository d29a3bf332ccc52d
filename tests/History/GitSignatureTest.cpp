#include "tavrik/History/GitSignature.h"

#include "Support/Helpers.h"
#include "tavrik/Commands/BranchCommands.h"
#include "tavrik/Commands/GitFixupOperation.h"
#include "tavrik/Commands/GitMoveCommitOperation.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Commands/WorktreeActions.h"
#include "tavrik/Diff/GitSplitCommitOperation.h"
#include "tavrik/Process/GitSocketAuth.h"
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"
#include "tavrik/Util/Uuid.h"

#include <random>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// Two SSH keys, one of them an allowed signer: git says G for its
// signatures and U for the other's.
struct SshKeys {
  TempDir dir;
  std::string allowed = (dir.path() / "allowed").string();
  std::string key(const char* name) const { return (dir.path() / name).string(); }
  SshKeys() {
    for (const char* name : {"trusted", "stranger"})
      runProgram({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", key(name)}, dir.path());
    runScript("printf 'dev@example.com %s\\n' \"$(cat trusted.pub)\" > allowed", dir.path());
  }
  void configure(const GitDir& repo) const {
    repo.git({"config", "gpg.format", "ssh"});
    repo.git({"config", "gpg.ssh.allowedSignersFile", allowed});
  }
};

} // namespace

// A seeded mix of commits signed by an allowed key, by an unknown one and
// not at all: each status equals git's own "%G? %GS %GK", in the order
// asked, with log.showSignature on in the repository; the cache answers a
// second time without git.
TEST(GitSignature, CommitStatusesEqualGitsOwnReading) {
  SshKeys keys;
  ScratchRepo repo;
  keys.configure(repo);
  repo.git({"config", "log.showSignature", "true"});
  std::mt19937 random(7);
  std::vector<Oid> ids;
  for (int i = 0; i < 12; ++i) {
    const auto pick = random() % 3;
    std::vector<std::string> args{"commit", "--allow-empty", "-qm", "c" + std::to_string(i)};
    if (pick < 2) args.push_back("-S" + keys.key(pick == 0 ? "trusted" : "stranger"));
    repo.git(args);
    ids.push_back(*Oid::parse(repo.rev("HEAD")));
  }
  std::shuffle(ids.begin(), ids.end(), random);
  auto queue = readerQueue(repo);
  auto cache = std::make_shared<GitSignatureCache>();
  auto statuses = runOn(queue, makeOperation<GitVerifyCommitsOperation>(ids, cache));
  ASSERT_EQ(statuses.size(), ids.size());
  for (size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(gitSignatureLetter(statuses[i].verdict) + (" " + statuses[i].signer + " " + statuses[i].key + "\n"),
              repo.git({"-c", "log.showSignature=false", "log", "-1", "--format=%G? %GS %GK", ids[i].string()}));
  std::set<GitSignatureVerdict> seen;
  for (const auto& s : statuses) seen.insert(s.verdict);
  EXPECT_EQ(seen, (std::set<GitSignatureVerdict>{GitSignatureVerdict::good, GitSignatureVerdict::unknownValidity,
                                                  GitSignatureVerdict::none}));
  EXPECT_EQ(cache->size(), ids.size());
  // Answered from the cache: a repository without these commits would fail.
  ScratchRepo empty;
  auto other = readerQueue(empty);
  EXPECT_EQ(runOn(other, makeOperation<GitVerifyCommitsOperation>(ids, cache)), statuses);
  EXPECT_THROW(runOn(other, makeOperation<GitVerifyCommitsOperation>(ids)), GitStdError);
}

// Commits and tags made through the engine sign as asked, or as configured;
// a light tag never turns into a signed one.
TEST(GitSignature, EngineCommitsAndTagsSignAsAskedOrConfigured) {
  SshKeys keys;
  ScratchRepo repo;
  keys.configure(repo);
  repo.git({"config", "user.signingKey", keys.key("trusted")});
  repo.commitFile("a.txt", "a", "base");
  auto queue = readerQueue(repo);
  auto commit = [&](const char* content, GitSigning sign) {
    repo.write("a.txt", content);
    repo.git({"add", "a.txt"});
    runOn(queue, makeOperation<GitExecCommitOperation>({.message = content, .sign = sign}));
    return repo.git({"log", "-1", "--format=%G?"}).substr(0, 1);
  };
  EXPECT_EQ(commit("one", GitSigning::sign), "G");
  EXPECT_EQ(commit("two", GitSigning::asConfigured), "N");
  repo.git({"config", "commit.gpgSign", "true"});
  EXPECT_EQ(commit("three", GitSigning::asConfigured), "G");
  EXPECT_EQ(commit("four", GitSigning::doNotSign), "N");

  repo.git({"config", "tag.gpgSign", "true"});
  runOn(queue, makeOperation<GitExecTagOperation>({.tag = "light"}));
  EXPECT_EQ(repo.git({"cat-file", "-t", "light"}), "commit\n");
  EXPECT_THROW(runOn(queue, makeOperation<GitExecTagOperation>({.tag = "x", .sign = GitSigning::sign})), TavrikError);
  runOn(queue, makeOperation<GitExecTagOperation>({.tag = "signed", .message = "m"}));
  runOn(queue, makeOperation<GitExecTagOperation>({.tag = "plain", .message = "m", .sign = GitSigning::doNotSign}));
  EXPECT_EQ(repo.tryGit({"verify-tag", "signed"}).status, 0);
  EXPECT_NE(repo.git({"cat-file", "tag", "plain"}).find("\nm\n"), std::string::npos);
  EXPECT_EQ(runOn(queue, makeOperation<GitVerifyTagOperation>("plain")).verdict, GitSignatureVerdict::none);
  EXPECT_EQ(runOn(queue, makeOperation<GitVerifyTagOperation>("light")).verdict, GitSignatureVerdict::none);
}

// GnuPG's status lines as git reads them: trust lowers a good signature to
// unknown validity, two error signatures are refused, and ssh-keygen's
// principal may hold " with ".
TEST(GitSignature, VerifyOutputReadsAsGitReadsIt) {
  using V = GitSignatureVerdict;
  const std::vector<std::tuple<std::string, int, GitSignatureStatus>> cases{
      {"[GNUPG:] NEWSIG\n[GNUPG:] GOODSIG 0123ABCD Alice <a@x>\n[GNUPG:] TRUST_ULTIMATE 0 pgp\n", 0,
       {V::good, "Alice <a@x>", "0123ABCD"}},
      {"[GNUPG:] GOODSIG 0123ABCD Alice\n[GNUPG:] TRUST_UNDEFINED 0 pgp\n", 0, {V::unknownValidity, "Alice", "0123ABCD"}},
      {"[GNUPG:] EXPKEYSIG 0123ABCD Bob\n", 1, {V::expiredKey, "Bob", "0123ABCD"}},
      {"[GNUPG:] BADSIG 0123ABCD Bob\n", 1, {V::bad, "Bob", "0123ABCD"}},
      {"[GNUPG:] ERRSIG 0123ABCD 22 8 00 1 9\n[GNUPG:] NO_PUBKEY 0123ABCD\n", 1, {V::cannotCheck, "", "0123ABCD"}},
      {"[GNUPG:] ERRSIG A 1\n[GNUPG:] ERRSIG B 1\n", 1, {V::cannotCheck, "", ""}},
      {"Good \"git\" signature for a with b with ED25519 key SHA256:xyz\n", 0, {V::good, "a with b", "SHA256:xyz"}},
      {"Good \"git\" signature with ED25519 key SHA256:xyz\nNo principal matched.\n", 1, {V::unknownValidity, "", "SHA256:xyz"}},
      {"error: no signature found\n", 1, {V::none, "", ""}},
      {"Signature verification failed: incorrect signature\n", 1, {V::bad, "", ""}},
      {"error: gpg.ssh.allowedSignersFile needs to be configured\n", 1, {V::cannotCheck, "", ""}},
  };
  for (const auto& [text, status, expected] : cases)
    EXPECT_EQ(GitVerifyTagOperation::parseVerifyOutput(text, status), expected) << text;
}

namespace {

// A bridge that answers every prompt with `answer` (nullopt declines) and
// keeps the prompts it saw.
struct Prompts {
  std::shared_ptr<std::vector<std::string>> seen = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<GitSocketAuth> bridge(std::optional<std::string> answer) const {
    return GitSocketAuth::create([seen = seen, answer](const std::string& prompt) {
      seen->push_back(prompt);
      return answer;
    });
  }
};

// Commits what is staged through the engine, signing with `bridge`.
void signedCommit(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<GitAuth>& bridge) {
  auto commit = makeOperation<GitExecCommitOperation>({.message = "signed", .sign = GitSigning::sign});
  commit->signingAuth = bridge;
  runOn(queue, commit);
}

} // namespace

// A key with a passphrase: ssh-keygen asks through the askpass companion,
// gpg-agent through the pinentry companion (its pinentry-program, in a
// private GNUPGHOME), and the client's answer signs. A declined prompt is a
// classified error and leaves HEAD where it was.
TEST(GitSignature, PassphrasesReachTheClientAndADeclineMakesNothing) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a", "base");
  auto queue = readerQueue(repo);
  auto stage = [&](const std::string& content) {
    repo.write("a.txt", content);
    repo.git({"add", "a.txt"});
  };
  auto attempt = [&](const Prompts& prompts, std::optional<std::string> answer) {
    const auto before = repo.rev("HEAD");
    const auto error = gitFailure([&] { signedCommit(queue, prompts.bridge(answer)); });
    EXPECT_EQ(error.kind(), GitStdError::Kind::signingFailed) << error.what();
    EXPECT_EQ(repo.rev("HEAD"), before);
  };

  SshKeys keys;
  runProgram({"ssh-keygen", "-q", "-t", "ed25519", "-N", "ssh secret", "-f", keys.key("locked")}, keys.dir.path());
  keys.configure(repo);
  repo.git({"config", "user.signingKey", keys.key("locked")});
  Prompts ssh;
  stage("ssh");
  signedCommit(queue, ssh.bridge("ssh secret"));
  EXPECT_EQ(repo.git({"log", "-1", "--format=%G?"}), "U\n");
  ASSERT_FALSE(ssh.seen->empty());
  EXPECT_NE(ssh.seen->front().find("passphrase"), std::string::npos) << ssh.seen->front();
  stage("ssh declined");
  attempt(ssh, std::nullopt);

  TempDir home;
  runScript("chmod 700 . && printf 'pinentry-program %s\\ndefault-cache-ttl 0\\nmax-cache-ttl 0\\n' '" +
                (testPrefix() / "bin/pinentry").string() + "' > gpg-agent.conf",
            home.path());
  setenv("GNUPGHOME", home.path().c_str(), 1);
  runProgram({"gpg", "--batch", "--pinentry-mode", "loopback", "--passphrase", "gpg secret", "--quick-gen-key",
              "Tester <tester@example.com>", "ed25519", "sign", "never"},
             home.path());
  const auto fingerprint = runScript("gpg --list-secret-keys --with-colons | awk -F: '$1 == \"fpr\" {print $10; exit}'",
                                     home.path()).substr(0, 40);
  ASSERT_EQ(fingerprint.size(), 40u);
  repo.git({"config", "gpg.format", "openpgp"});
  repo.git({"config", "user.signingKey", fingerprint});
  Prompts gpg;
  stage("gpg");
  signedCommit(queue, gpg.bridge("gpg secret"));
  EXPECT_EQ(repo.git({"log", "-1", "--format=%G? %GK"}), "G " + fingerprint.substr(24) + "\n");
  ASSERT_FALSE(gpg.seen->empty());
  EXPECT_NE(gpg.seen->front().find("Tester"), std::string::npos) << gpg.seen->front();
  auto tag = makeOperation<GitExecTagOperation>({.tag = "v1", .message = "m", .sign = GitSigning::sign});
  tag->signingAuth = gpg.bridge("gpg secret");
  runOn(queue, tag);
  const auto verified = runOn(queue, makeOperation<GitVerifyTagOperation>("v1"));
  EXPECT_EQ(verified.verdict, GitSignatureVerdict::good);
  EXPECT_EQ(verified.signer, "Tester <tester@example.com>");
  EXPECT_THROW(runOn(queue, makeOperation<GitVerifyTagOperation>("missing")), GitStdError);
  EXPECT_THROW(runOn(queue, makeOperation<GitVerifyTagOperation>("--all")), TavrikError);
  stage("gpg declined");
  attempt(gpg, std::nullopt);
  runProgram({"gpgconf", "--kill", "gpg-agent"}, home.path());
  unsetenv("GNUPGHOME");
}

// commit.gpgSign on and a key with a passphrase: every commit the engine
// makes or makes again is signed by that key, the passphrase answered
// through the bridge and found in no argument or environment of the signing
// tool and no log. A signed commit given another message reads B.
TEST(GitSignature, EveryRewriteSignsThroughTheBridge) {
  const std::string secret = "ssh " + Uuid::random().uuidString();
  SshKeys keys;
  GitDir tools(keys.dir.path());
  runProgram({"ssh-keygen", "-q", "-t", "ed25519", "-N", secret, "-f", keys.key("locked")}, tools.path());
  runScript("printf 'dev@example.com %s\\n' \"$(cat locked.pub)\" >> allowed", tools.path());
  const auto fingerprint = split(runProgram({"ssh-keygen", "-lf", keys.key("locked.pub")}, tools.path()).out, ' ')[1];
  tools.write("record", "#!/bin/sh\n{ printf '%s\\n' \"$@\"; tr '\\0' '\\n' < /proc/$$/environ; } >> \"$0.seen\"\n"
                        "exec ssh-keygen \"$@\"\n");
  runProgram({"chmod", "+x", "record"}, tools.path());

  ScratchRepo repo;
  keys.configure(repo);
  runScript("set -e; c() { echo $1 > $1.txt; git add $1.txt; git commit -qm $2; }; c a base; git checkout -qb topic;"
            " c t topic; git checkout -q main; echo c > c.txt; git add c.txt; c b two; c d three",
            repo.path());
  const auto before = repo.git({"rev-list", "--all"});
  repo.git({"config", "commit.gpgSign", "true"});
  repo.git({"config", "user.signingKey", keys.key("locked")});
  repo.git({"config", "gpg.ssh.program", keys.key("record")});

  LogCapture logs(true);
  Prompts prompts;
  auto queue = readerQueue(repo);
  auto run = [&](auto op, const char* signedRef = "HEAD") {
    SCOPED_TRACE(signedRef);
    op->signingAuth = prompts.bridge(secret);
    runOn(queue, op);
    EXPECT_EQ(repo.git({"log", "-1", "--format=%G? %GK", signedRef}), "G " + fingerprint + "\n");
  };
  repo.write("e.txt", "e\n");
  repo.git({"add", "e.txt"});
  run(makeOperation<GitCommitAction>({.message = "three", .amend = true}));
  run(makeOperation<GitExecCherryPickOperation>({.commits = {*Oid::parse(repo.rev("topic"))}}));
  run(makeOperation<GitExecRevertOperation>({.oid = Oid::parse(repo.rev("HEAD"))}));
  repo.write("b.txt", "b fixed\n");
  repo.git({"add", "b.txt"});
  run(makeOperation<GitFixupOperation>(GitFixupOptions{.commit = "HEAD~3"}));
  run(makeOperation<GitSplitCommitOperation>(GitSplitCommitOptions{.commit = "HEAD~3", .paths = {"b.txt"}}));
  run(makeOperation<GitMoveCommitOperation>(GitMoveCommitOptions{.commit = "HEAD", .branch = "topic"}), "topic");
  GitRebaseRequest reword(GitRebaseAction::Verb::reword, {*Oid::parse(repo.rev("HEAD~1"))}, Oid::parse(repo.rev("HEAD~3")));
  run(GitExecRebaseOperation::interactiveRebase(
      repo.rev("HEAD~3"), GitSocketEditor::create(worktreeDescriptor(repo.path()), reword, [](auto&, auto&) {
        return std::optional<std::string>("reworded\n");
      })));
  run(makeOperation<GitExecMergeOperation>({.refish = "topic", .noFastForward = true}));
  EXPECT_EQ(repo.git({"log", "-1", "--format=%s", "HEAD^1~1"}), "reworded\n");
  EXPECT_EQ(repo.tryGit({"verify-commit", "HEAD"}).status, 0);
  // The commits made on the way and kept, the split's halves among them.
  for (const auto& line : split(repo.git({"log", "--all", "--format=%H %G? %GK"}), '\n'))
    EXPECT_TRUE(before.find(line.substr(0, 40)) != std::string::npos || line.substr(41) == "G " + fingerprint) << line;

  auto raw = repo.git({"cat-file", "commit", "HEAD"});
  tools.write("tampered", raw.insert(raw.find("\n\n") + 2, "tampered "));
  const auto tampered = *Oid::parse(repo.git({"hash-object", "-w", "-t", "commit", keys.key("tampered")}).substr(0, 40));
  EXPECT_EQ(repo.git({"log", "-1", "--format=%G?", tampered.string()}), "B\n");
  EXPECT_EQ(runOn(queue, makeOperation<GitVerifyCommitsOperation>(std::vector<Oid>{tampered})).front().verdict,
            GitSignatureVerdict::bad);

  const auto seen = readFile(keys.key("record.seen"));
  EXPECT_NE(seen.find("-Y\nsign\n"), std::string::npos);
  for (const auto& text : logs.messages()) EXPECT_EQ((text + seen).find(secret), std::string::npos) << text;
}
