#include "tavrik/Process/GitEnvironment.h"

#include <gtest/gtest.h>

using tavrik::GitEnvironment;
using tavrik::Url;

// Variables that would point a child at another repository or inject settings,
// whether they come from the process or from the login shell.
TEST(ChildEnvironmentIsolation, DropsRepositoryAndConfigVariablesFromEitherSource) {
  const GitEnvironment::Variables leaked = {
      {"GIT_DIR", "/other/.git"},     {"GIT_WORK_TREE", "/other"},      {"GIT_INDEX_FILE", "/other/index"},
      {"GIT_COMMON_DIR", "/other"},   {"GIT_CONFIG_COUNT", "1"},        {"GIT_CONFIG_KEY_0", "log.decorate"},
      {"GIT_CONFIG_VALUE_0", "full"}, {"GIT_CONFIG_PARAMETERS", "'a.b'='c'"}, {"LANGUAGE", "de"},
      {"LC_ALL", "de_DE.UTF-8"},      {"KEEP", "1"}};
  for (bool fromShell : {false, true}) {
    SCOPED_TRACE(fromShell ? "shell" : "process");
    GitEnvironment::Inputs inputs;
    if (fromShell) inputs.shellEnvironment = leaked;
    else inputs.processEnvironment = leaked;
    inputs.gitDirectoryURL = Url::fileURL("/repo/b/.git", true);
    auto env = GitEnvironment::build(inputs);
    for (const auto& [name, value] : leaked) {
      if (name == "KEEP" || name == "GIT_DIR" || name == "LC_ALL") continue;
      EXPECT_FALSE(env.contains(name)) << name;
    }
    EXPECT_EQ(env["KEEP"], "1");
    EXPECT_EQ(env["LC_ALL"], "C.UTF-8");
    EXPECT_NE(env["GIT_DIR"], "/other/.git");
  }
}
