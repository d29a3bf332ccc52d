#include "tavrik/State/GitViewStashesOperation.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;

// Newest first: "On feature/x:" over two lines; a commit stored by hand whose
// subject has no ":" and whose author and message are not UTF-8; a colon
// after the prefix; a WIP; "On main:" over four lines.
static const char* kStashes = R"sh(echo 1 > f && git add f && git commit -q -m one
printf 'M <m@x> Test Author <author@example.com>\n' > .mailmap
echo 2 > f && git stash push -q -m "$(printf 'line one\n\nline two: x\nline three')" && echo 3 > f && git stash -q
git checkout -q -b feature/x && echo 4 > f && git stash push -q -m 'fix: on colon'
printf 'tree %s\nparent %s\nauthor J\366rg <j@x> 981198306 -0700\ncommitter C <c@x> 981198306 +0100\n\n%s\n' \
  $(git rev-parse 'HEAD^{tree}' HEAD) "$(printf 'caf\351 no colon\n\nbody: on x')" |
  git hash-object -t commit -w --stdin | xargs git stash store -m stored
echo 5 > f && git stash push -q -m "$(printf '\303\257 multi\nsecond')"
printf '[color]\nui=always\n[log]\nshowSignature\nmailmap\ndate=relative\n[format]\npretty=oneline\n' > .git/hostile
printf '[i18n]\nlogOutputEncoding=ISO-8859-1\n' >> .git/hostile)sh";

// No refs/stash (no commit yet, a bare repository, after a clear) is an empty
// list. The queue's refresh reads the stashes and reports them; a global
// configuration that changes what `git log` prints changes nothing.
TEST(GitViewStashesOperation, ReadsEveryStashAsGitHasIt) {
  ScratchRepo repo, bare(true);
  auto queue = readerQueue(repo);
  auto read = [](auto queue) { return runOn(queue, makeOperation<GitViewStashesOperation>()).entries; };
  EXPECT_TRUE(read(queue).empty());
  EXPECT_TRUE(read(makeReaderQueue(bareDescriptor(bare.path()))).empty());
  ASSERT_EQ(runProgram({"/bin/sh", "-ec", kStashes}, repo.path()).status, 0);
  auto observer = std::make_shared<CountingObserver>();
  auto token = queue->addChangeObserver(observer);
  queue->updateViewFor(GitAspects::stashes);
  queue->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(observer->received.events(), std::vector<std::string>{"<GitAspects stashes>"});
  queue->removeChangeObserver(token);
  const auto entries = queue->view().stashList.entries;
  setenv("GIT_CONFIG_GLOBAL", (repo.path() / ".git/hostile").c_str(), 1);
  EXPECT_EQ(read(queue), entries);
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);

  const auto wip = repo.git({"rev-parse", "--short", "main"}).substr(0, 7) + " one";
  const std::pair<std::string, std::string> expected[] = {  // subject, message without prefix
      {"On feature/x: \303\257 multi", "\303\257 multi"},
      {"caf\351 no colon", "caf\351 no colon"},
      {"On feature/x: fix: on colon", "fix: on colon"},
      {"WIP on main: " + wip, wip},
      {"On main: line one", "line one"}};
  auto selectors = split(repo.git({"stash", "list", "--format=%gd"}), '\n');
  ASSERT_EQ(entries.size(), std::size(expected));
  ASSERT_EQ(selectors.size(), entries.size());
  auto stamp = [](const GitSignature& s) {
    auto seconds = floor<std::chrono::seconds>(s.timestamp.date.time_since_epoch()).count();
    return s.name + " <" + s.email + "> " + std::to_string(seconds);
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& [e, at] = std::tie(entries[i], selectors[i]);
    SCOPED_TRACE(at);
    EXPECT_EQ(e.stashRefname(), at);
    std::string ids = e.oid.string() + "\n" + e.tree.string() + "\n";
    for (const auto& p : e.parents) ids += p.string() + "\n";
    EXPECT_EQ(ids, repo.git({"rev-parse", at, at + "^{tree}", at + "^@"}));
    EXPECT_EQ(stamp(e.author) + " " + stamp(e.committer) + "\n",
              repo.git({"show", "-s", "--format=%an <%ae> %at %cn <%ce> %ct", at}));
    auto body = repo.git({"cat-file", "commit", at});  // the commit's own bytes
    body = body.substr(body.find("\n\n") + 2);
    EXPECT_EQ(e.message + (body.ends_with('\n') ? "\n" : ""), body);
    EXPECT_EQ(std::pair(e.subject, e.messageWithoutPrefix), expected[i]);
    EXPECT_EQ(e.refname, "refs/stash");
  }
  repo.git({"stash", "clear"});
  EXPECT_TRUE(read(queue).empty());
}
