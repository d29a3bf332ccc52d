#include "Support/GitServers.h"

#include <gtest/gtest.h>

using namespace tavrik::testing;

namespace {

// A bare r.git with one commit on main, alone in its own directory.
struct Served {
  TempDir root;
  GitDir bare{root.path() / "r.git"};
  Served() {
    ScratchRepo work;
    work.commitFile("a.txt", "a\n", "first");
    work.git({"clone", "-q", "--bare", work.path().string(), bare.path().string()});
  }
};

// Plain git that fails instead of asking anyone for credentials.
CommandResult quietGit(const std::filesystem::path& cwd, std::vector<std::string> args) {
  std::vector<std::string> argv = {
      "env", "-u", "SSH_ASKPASS", "GIT_TERMINAL_PROMPT=0", "GIT_ASKPASS=/bin/false", "git"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, cwd);
}

std::string withCredentials(const std::string& url, const std::string& userAndPassword) {
  return "http://" + userAndPassword + "@" + url.substr(std::string("http://").size());
}

} // namespace

TEST(GitServers, HttpCloneAndPushNeedTheCredentials) {
  Served served;
  auto server = GitHttpServer::start(served.root.path(), "alice", "s3cret");
  TempDir clones;
  auto ok = quietGit(clones.path(),
                     {"clone", "-q", withCredentials(server->url("r.git"), "alice:s3cret"), "ok"});
  ASSERT_EQ(ok.status, 0) << ok.err << server->errorLog();
  GitDir clone(clones.path() / "ok");
  auto pushed = clone.commitFile("b.txt", "b\n", "second");
  auto push = quietGit(clone.path(), {"push", "-q", "origin", "main"});
  ASSERT_EQ(push.status, 0) << push.err << server->errorLog();
  EXPECT_EQ(served.bare.rev("main"), pushed);

  auto bad = quietGit(clones.path(),
                      {"clone", "-q", withCredentials(server->url("r.git"), "alice:wrong"), "bad"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.err.find("Authentication failed"), std::string::npos) << bad.err;
  auto log = server->accessLog();
  EXPECT_NE(log.find("\" 401 "), std::string::npos) << log;
  EXPECT_NE(log.find(" alice ["), std::string::npos) << log;
  EXPECT_NE(log.find("POST /git/r.git/git-receive-pack "), std::string::npos) << log;
}

TEST(GitServers, DaemonClonesAnonymously) {
  Served served;
  auto server = GitDaemonServer::start(served.root.path());
  TempDir clones;
  auto clone = quietGit(clones.path(), {"clone", "-q", server->url("r.git"), "c"});
  ASSERT_EQ(clone.status, 0) << clone.err << server->log();
  EXPECT_EQ(GitDir(clones.path() / "c").rev("main"), served.bare.rev("main"));
}
