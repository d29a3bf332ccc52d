#include "tavrik/State/GitViewExecConfigOperation.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;
using Values = std::map<std::string, std::string>;
using namespace std::literals;

// What git says each key holds, asked key by key: `--get` gives a multi-valued
// key's last value.
static Values valuesAsGitGetsThem(const GitDir& repo) {
  Values values;
  for (const auto& key : split(repo.git({"config", "-z", "--name-only", "--list"}), '\0')) {
    auto value = repo.git({"config", "-z", "--get", key});
    values[key] = value.substr(0, value.size() - 1);
  }
  return values;
}

// A later record replaces an earlier one; a record without a line feed is a
// key without value; bytes that are not UTF-8 are kept and end nothing.
TEST(GitViewExecConfigOperation, ParsesEveryRecordAsBytes) {
  GitBuffer buffer("a.b\n1\0a.b\n2\0s.flag\0k\nl1\nl2\0bad\n\xff\0c\n3\0"sv);
  EXPECT_EQ(GitViewExecConfigOperation::parse(buffer),
            (Values{{"a.b", "2"}, {"s.flag", ""}, {"k", "l1\nl2"}, {"bad", "\xff"}, {"c", "3"}}));
}

// A Latin-1 user.name (old repositories have them) hides no later key, and a
// key is found as git finds it: section and name in any case, the
// subsection exactly; each spelling is asked of git too.
TEST(GitViewExecConfigOperation, LatinOneValueAndKeysInAnyCaseAsGitReadsThem) {
  ScratchRepo repo;
  repo.git({"config", "user.name", "J\xf6rg"});
  repo.git({"remote", "add", "origin", "https://example.com/r.git"});
  repo.git({"config", "Sect.Sub.Key", "v"});
  auto queue = readerQueue(repo);
  auto config = runOn(queue, makeOperation<GitViewExecConfigOperation>());
  EXPECT_EQ(config->values(), valuesAsGitGetsThem(repo));
  EXPECT_EQ(config->remoteList().remotes, (std::vector<GitRemote>{{"origin", "https://example.com/r.git"}}));
  for (std::string key : {"user.name", "USER.NAME", "User.Name", "remote.origin.url", "REMOTE.origin.URL",
                          "remote.ORIGIN.url", "sect.Sub.key", "SECT.Sub.KEY", "sect.sub.key", "Sect.SUB.Key"}) {
    SCOPED_TRACE(key);
    auto git = repo.tryGit({"config", "--get", key});
    EXPECT_EQ(config->value(key), git.status == 0 ? std::optional(git.out.substr(0, git.out.size() - 1)) : std::nullopt);
  }
}

// The queue's refresh of the config aspect fills the view with the last
// value of every key; a remote's url wins over its pushurl in either order; a
// global configuration that asks for colour, quoting and columns only adds
// its own keys.
TEST(GitViewExecConfigOperation, RefreshHoldsTheLastValueOfEveryKey) {
  ScratchRepo repo;
  repo.git({"config", "--add", "multi.key", "one"});
  repo.git({"config", "--add", "multi.key", "two"});
  repo.git({"config", "my.text", "line1\nline2"});
  runScript("printf '[section]\\n\\tflag\\n[remote \"a\"]\\n\\tpushurl = p\\n\\turl = u\\n"
            "[remote \"b\"]\\n\\turl = v\\n\\tpushurl = q\\n' >> .git/config", repo.path());
  auto queue = readerQueue(repo);
  queue->updateViewFor(GitAspects::config);
  queue->waitUntilAllOperationsAreFinished();
  const auto& values = queue->view().config->values();
  EXPECT_EQ(values, valuesAsGitGetsThem(repo));
  EXPECT_EQ(Values(values.lower_bound("multi."), values.lower_bound("remote.")),
            (Values{{"multi.key", "two"}, {"my.text", "line1\nline2"}}));
  EXPECT_EQ(values.at("section.flag"), "");
  EXPECT_EQ(queue->view().config->remoteList().remotes, (std::vector<GitRemote>{{"a", "u"}, {"b", "v"}}));

  repo.write(".git/hostile", "[color]\nui=always\n[core]\nquotepath\n[column]\nui=always\n");
  setenv("GIT_CONFIG_GLOBAL", (repo.path() / ".git/hostile").c_str(), 1);
  auto hostile = runOn(queue, makeOperation<GitViewExecConfigOperation>())->values();
  auto expected = valuesAsGitGetsThem(repo);
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  EXPECT_EQ(hostile, expected);
  EXPECT_EQ(hostile.at("color.ui"), "always");
}
