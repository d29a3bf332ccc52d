#include "tavrik/Process/GitEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

using tavrik::GitEnvironment;
using tavrik::Url;
using Variables = GitEnvironment::Variables;

namespace {

GitEnvironment::Inputs withPrefix() {
  GitEnvironment::Inputs inputs;
  inputs.prefixURL = Url::fileURL("/opt/git", true);
  return inputs;
}

std::optional<std::string> value(const Variables& env, const std::string& name) {
  auto it = env.find(name);
  if (it == env.end()) return std::nullopt;
  return it->second;
}

} // namespace

TEST(GitEnvironment, StartsFromShellElseProcessEnvironment) {
  GitEnvironment::Inputs inputs;
  inputs.processEnvironment = {{"FROM", "process"}, {"ONLY_PROCESS", "1"}};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "FROM"), "process");
  inputs.shellEnvironment = Variables{{"FROM", "shell"}, {"SHELL_ONLY", "x"}};
  auto env = GitEnvironment::build(inputs);
  EXPECT_EQ(value(env, "FROM"), "shell");
  EXPECT_EQ(value(env, "SHELL_ONLY"), "x");
  EXPECT_EQ(value(env, "ONLY_PROCESS"), std::nullopt);
  // A shell whose probes all failed still replaces the process environment.
  inputs.shellEnvironment = Variables{};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "FROM"), std::nullopt);
}

TEST(GitEnvironment, SearchPath) {
  GitEnvironment::Inputs inputs;
  inputs.shellEnvironment = Variables{};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "PATH"), GitEnvironment::kDefaultSearchPath);
  inputs.prefixURL = Url::fileURL("/opt/git", true);
  EXPECT_EQ(value(GitEnvironment::build(inputs), "PATH"),
            "/opt/git/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:/Library/Apple/usr/bin");
  inputs.shellEnvironment = Variables{{"PATH", ":/a::/b:/opt/git/bin:"}};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "PATH"), "/opt/git/bin:/a:/b:/opt/git/bin");
  // Without a prefix the path is written back untouched, empty parts included.
  inputs.prefixURL.reset();
  EXPECT_EQ(value(GitEnvironment::build(inputs), "PATH"), ":/a::/b:/opt/git/bin:");
  inputs.shellEnvironment = Variables{{"PATH", ""}};
  inputs.prefixURL = Url::fileURL("/opt/git", true);
  EXPECT_EQ(value(GitEnvironment::build(inputs), "PATH"), "/opt/git/bin");
}

TEST(GitEnvironment, Home) {
  GitEnvironment::Inputs inputs;
  inputs.shellEnvironment = Variables{{"HOME", "/from/shell"}};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "HOME"), "/from/shell");
  inputs.homeDirectory = "/home/real";
  EXPECT_EQ(value(GitEnvironment::build(inputs), "HOME"), "/home/real");
  passwd* entry = ::getpwuid(::getuid());
  if (entry) {
    EXPECT_EQ(GitEnvironment::userHomeDirectory(), std::string(entry->pw_dir));
  }
}

TEST(GitEnvironment, SandboxDisablesSystemConfigFromProcessEnvironmentOnly) {
  GitEnvironment::Inputs inputs;
  inputs.shellEnvironment = Variables{{"APP_SANDBOX_CONTAINER_ID", "x"}};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "GIT_CONFIG_NOSYSTEM"), std::nullopt);
  inputs.processEnvironment = {{"APP_SANDBOX_CONTAINER_ID", ""}};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "GIT_CONFIG_NOSYSTEM"), "1");
}

TEST(GitEnvironment, PrefixLocations) {
  auto env = GitEnvironment::build(withPrefix());
  EXPECT_EQ(value(env, "SSH_ASKPASS"), "/opt/git/bin/askpass");
  EXPECT_EQ(value(env, "GIT_ASKPASS"), "/opt/git/bin/askpass");
  EXPECT_EQ(value(env, "GIT_EXEC_PATH"), "/opt/git/libexec/git-core");
  EXPECT_EQ(value(env, "GIT_TEMPLATE_DIR"), "/opt/git/share/git-core/templates");

  GitEnvironment::Inputs bare;
  bare.shellEnvironment = Variables{{"GIT_EXEC_PATH", "/keep"}};
  auto without = GitEnvironment::build(bare);
  EXPECT_EQ(value(without, "SSH_ASKPASS"), std::nullopt);
  EXPECT_EQ(value(without, "GIT_ASKPASS"), std::nullopt);
  EXPECT_EQ(value(without, "GIT_EXEC_PATH"), "/keep");
  EXPECT_EQ(value(without, "GIT_TEMPLATE_DIR"), std::nullopt);
}

TEST(GitEnvironment, Editor) {
  auto inputs = withPrefix();
  inputs.shellEnvironment = Variables{{"GIT_EDITOR", "vim"}, {"EDITOR_TOKEN", "old"}};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "GIT_EDITOR"), ":");

  inputs.editorEnvironment = Variables{{"EDITOR_TOKEN", "new"}, {"GIT_EDITOR", "ignored"}};
  auto env = GitEnvironment::build(inputs);
  EXPECT_EQ(value(env, "GIT_EDITOR"), "/opt/git/bin/editor");
  EXPECT_EQ(value(env, "EDITOR_TOKEN"), "new");

  // An editor without a prefix has no companion program to point git at.
  inputs.prefixURL.reset();
  env = GitEnvironment::build(inputs);
  EXPECT_EQ(value(env, "GIT_EDITOR"), ":");
  EXPECT_EQ(value(env, "EDITOR_TOKEN"), "old");
}

TEST(GitEnvironment, RepositoryLocations) {
  GitEnvironment::Inputs inputs;
  inputs.shellEnvironment = Variables{{"GIT_DIR", "/inherited"}, {"PWD", "/inherited"}};
  auto env = GitEnvironment::build(inputs);
  EXPECT_EQ(value(env, "GIT_DIR"), std::nullopt);  // an inherited repository never leaks through
  EXPECT_EQ(value(env, "PWD"), "/inherited");
  inputs.gitDirectoryURL = Url::fileURL("/repo/.git", true);
  inputs.workingDirectoryURL = Url::fileURL("/repo", true);
  env = GitEnvironment::build(inputs);
  EXPECT_EQ(value(env, "GIT_DIR"), "/repo/.git");
  EXPECT_EQ(value(env, "PWD"), "/repo");
}

TEST(GitEnvironment, PersonasSetIndependently) {
  GitEnvironment::Inputs inputs;
  inputs.shellEnvironment = Variables{{"GIT_AUTHOR_NAME", "Shell A"}, {"GIT_COMMITTER_NAME", "Shell C"}};
  inputs.author = persona::Persona{"Ann", "ann@example.com"};
  auto env = GitEnvironment::build(inputs);
  EXPECT_EQ(value(env, "GIT_AUTHOR_NAME"), "Ann");
  EXPECT_EQ(value(env, "GIT_AUTHOR_EMAIL"), "ann@example.com");
  EXPECT_EQ(value(env, "GIT_COMMITTER_NAME"), "Shell C");
  EXPECT_EQ(value(env, "GIT_COMMITTER_EMAIL"), std::nullopt);
  inputs.author.reset();
  inputs.committer = persona::Persona{"Cid", "cid@example.com"};
  env = GitEnvironment::build(inputs);
  EXPECT_EQ(value(env, "GIT_AUTHOR_NAME"), "Shell A");
  EXPECT_EQ(value(env, "GIT_COMMITTER_NAME"), "Cid");
  EXPECT_EQ(value(env, "GIT_COMMITTER_EMAIL"), "cid@example.com");
}

TEST(GitEnvironment, PagerAlwaysEmpty) {
  GitEnvironment::Inputs inputs;
  inputs.processEnvironment = {{"GIT_PAGER", "less"}};
  EXPECT_EQ(value(GitEnvironment::build(inputs), "GIT_PAGER"), "");
  EXPECT_EQ(value(GitEnvironment::build(withPrefix()), "GIT_PAGER"), "");
}

TEST(GitEnvironment, ReadsProcessEnvironment) {
  ::setenv("TAVRIK_ENV_PROBE", "a=b", 1);
  EXPECT_EQ(value(GitEnvironment::processEnvironment(), "TAVRIK_ENV_PROBE"), "a=b");
  ::unsetenv("TAVRIK_ENV_PROBE");
  EXPECT_EQ(value(GitEnvironment::processEnvironment(), "TAVRIK_ENV_PROBE"), std::nullopt);
}
