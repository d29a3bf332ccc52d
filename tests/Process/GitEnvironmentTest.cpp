#include "tavrik/Process/GitEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>

using tavrik::GitEnvironment;
using tavrik::Url;
using Variables = GitEnvironment::Variables;

namespace {

std::optional<std::string> value(const Variables& env, const std::string& name) {
  auto it = env.find(name);
  return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
}

GitEnvironment::Inputs fromShell(Variables shell, bool prefix = true) {
  GitEnvironment::Inputs inputs;
  inputs.shellEnvironment = std::move(shell);
  if (prefix) inputs.prefixURL = Url::fileURL("/opt/git", true);
  return inputs;
}

} // namespace

// Inputs against the variables git gets.
TEST(GitEnvironment, BuildsTheChildsVariables) {
  struct Case {
    const char* name;
    GitEnvironment::Inputs inputs;
    Variables expected; // "<absent>" for a variable that must not be there
  };
  auto editing = fromShell({{"GIT_EDITOR", "vim"}, {"GIT_SEQUENCE_EDITOR", "vim"}, {"TOKEN", "old"}});
  editing.editorEnvironment = Variables{{"TOKEN", "new"}, {"GIT_EDITOR", "ignored"}};
  auto spacedPrefix = editing;
  spacedPrefix.prefixURL = Url::fileURL("/opt/my git", true);
  auto editingWithoutPrefix = editing;
  editingWithoutPrefix.prefixURL.reset();
  auto located = fromShell({{"GIT_DIR", "/inherited"}, {"PWD", "/inherited"}, {"HOME", "/from/shell"}});
  located.gitDirectoryURL = Url::fileURL("/repo/.git", true);
  located.workingDirectoryURL = Url::fileURL("/repo", true);
  located.homeDirectory = "/home/real";
  auto personas = fromShell({{"GIT_AUTHOR_NAME", "Shell A"}, {"GIT_COMMITTER_NAME", "Shell C"}});
  personas.author = persona::Persona{"Ann", "ann@example.com"};
  GitEnvironment::Inputs processOnly;
  processOnly.processEnvironment = {{"FROM", "process"}, {"GIT_PAGER", "less"}, {"APP_SANDBOX_CONTAINER_ID", ""}};
  auto shellWins = fromShell({{"FROM", "shell"}, {"APP_SANDBOX_CONTAINER_ID", "x"}}, false);
  shellWins.processEnvironment = {{"FROM", "process"}, {"ONLY_PROCESS", "1"}};
  const Case cases[] = {
      {"prefix locations", fromShell({}),
       {{"SSH_ASKPASS", "/opt/git/bin/askpass"}, {"GIT_ASKPASS", "/opt/git/bin/askpass"},
        {"GIT_EXEC_PATH", "/opt/git/libexec/git-core"}, {"GIT_TEMPLATE_DIR", "/opt/git/share/git-core/templates"},
        {"GIT_EDITOR", ":"}, {"GIT_PAGER", ""}, {"PATH", "/opt/git/bin:" + std::string(GitEnvironment::kDefaultSearchPath)}}},
      {"no prefix", fromShell({{"GIT_EXEC_PATH", "/keep"}, {"PATH", ":/a::/b:"}}, false),
       {{"SSH_ASKPASS", "<absent>"}, {"GIT_EXEC_PATH", "/keep"}, {"PATH", ":/a::/b:"}}},
      {"search path: prefix first, empty entries dropped", fromShell({{"PATH", ":/a::/b:/opt/git/bin:"}}),
       {{"PATH", "/opt/git/bin:/a:/b:/opt/git/bin"}}},
      {"empty search path", fromShell({{"PATH", ""}}), {{"PATH", "/opt/git/bin"}}},
      {"editor", editing, {{"GIT_EDITOR", "/opt/git/bin/editor"}, {"GIT_SEQUENCE_EDITOR", "/opt/git/bin/editor"}, {"TOKEN", "new"}}},
      {"editor without its companion", editingWithoutPrefix, {{"GIT_EDITOR", ":"}, {"GIT_SEQUENCE_EDITOR", ":"}, {"TOKEN", "old"}}},
      {"editor under a prefix with a space", spacedPrefix, {{"GIT_EDITOR", "'/opt/my git/bin/editor'"}}},
      {"repository, working directory and home", located,
       {{"GIT_DIR", "/repo/.git"}, {"PWD", "/repo"}, {"HOME", "/home/real"}}},
      {"personas set one by one", personas,
       {{"GIT_AUTHOR_NAME", "Ann"}, {"GIT_AUTHOR_EMAIL", "ann@example.com"}, {"GIT_COMMITTER_NAME", "Shell C"},
        {"GIT_COMMITTER_EMAIL", "<absent>"}}},
      {"process environment without a shell; sandbox from it only", processOnly,
       {{"FROM", "process"}, {"GIT_PAGER", ""}, {"GIT_CONFIG_NOSYSTEM", "1"}}},
      {"shell replaces the process environment", shellWins,
       {{"FROM", "shell"}, {"ONLY_PROCESS", "<absent>"}, {"GIT_CONFIG_NOSYSTEM", "<absent>"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto env = GitEnvironment::build(c.inputs);
    for (const auto& [name, expected] : c.expected)
      EXPECT_EQ(value(env, name).value_or("<absent>"), expected) << name;
  }
}

// Variables that would point a child at another repository, inject settings,
// translate git's messages or hold back streamed output, whether from the
// process or the login shell.
TEST(GitEnvironment, DropsRepositoryConfigAndLocaleVariablesFromEitherSource) {
  const Variables leaked = {
      {"GIT_DIR", "/other/.git"},     {"GIT_WORK_TREE", "/other"},      {"GIT_INDEX_FILE", "/other/index"},
      {"GIT_COMMON_DIR", "/other"},   {"GIT_CONFIG_COUNT", "1"},        {"GIT_CONFIG_KEY_0", "log.decorate"},
      {"GIT_CONFIG_VALUE_0", "full"}, {"GIT_CONFIG_PARAMETERS", "'a.b'='c'"}, {"GIT_OBJECT_DIRECTORY", "/o"},
      {"LANGUAGE", "de"},             {"LC_ALL", "de_DE.UTF-8"},        {"GIT_FLUSH", "0"},
      {"KEEP", "1"}};
  for (bool shell : {false, true}) {
    SCOPED_TRACE(shell ? "shell" : "process");
    GitEnvironment::Inputs inputs;
    if (shell) inputs.shellEnvironment = leaked;
    else inputs.processEnvironment = leaked;
    auto env = GitEnvironment::build(inputs);
    for (const auto& [name, ignored] : leaked)
      if (name != "KEEP" && name != "LC_ALL") EXPECT_FALSE(env.contains(name)) << name;
    EXPECT_EQ(env["KEEP"], "1");
    EXPECT_EQ(env["LC_ALL"], "C.UTF-8");
  }
  ::setenv("TAVRIK_ENV_PROBE", "a=b", 1);
  EXPECT_EQ(value(GitEnvironment::processEnvironment(), "TAVRIK_ENV_PROBE"), "a=b");
  ::unsetenv("TAVRIK_ENV_PROBE");
}
