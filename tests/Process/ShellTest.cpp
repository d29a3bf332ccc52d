#include "tavrik/Process/Shell.h"
#include "tavrik/Process/GitEnvironment.h"

#include "Support/ScenarioRepo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

using tavrik::Shell;
using tavrik::testing::processIsGone;
using tavrik::testing::readFile;
using tavrik::testing::TempDir;
using namespace std::chrono_literals;

namespace {

std::string writeScript(const TempDir& dir, const std::string& body) {
  auto path = dir.path() / "sh";
  std::ofstream(path) << "#!/bin/sh\n" << body;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path.string();
}

} // namespace

// The login shell and the home directory come from the same entry of the
// user database, as getent(1) reads it.
TEST(Shell, UserShellAndHomeAreTheRealUsersEntry) {
  std::string line;
  if (FILE* getent = popen(("getent passwd " + std::to_string(getuid())).c_str(), "r")) {
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, getent)) line += buffer;
    pclose(getent);
  }
  if (line.empty()) GTEST_SKIP() << "no entry in the user database";
  while (!line.empty() && line.back() == '\n') line.pop_back();
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    size_t colon = line.find(':', start);
    fields.push_back(line.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  ASSERT_EQ(fields.size(), 7u) << line;
  EXPECT_EQ(tavrik::GitEnvironment::userHomeDirectory(), fields[5]);
  EXPECT_EQ(Shell::userShellPath(), fields[6].empty() ? std::nullopt : std::optional<std::string>(fields[6]));
}

TEST(Shell, ParsesEnvironmentLines) {
  auto env = Shell::parseEnvironment("A=1\n\nB=  two words \r\n=leading\n==x\nC=\nno equals sign\nD==x=y\n=E=e\n"
                                     " F =\t\xc2\xa0" "f\nG=  \nA=3");
  EXPECT_EQ(env, (Shell::Environment{{"A", "3"}, {"B", "two words"}, {"D", "=x=y"}, {"E", "e"}, {"F", "f"}, {"G", ""}}));
}

// The probes in order, each tried when the one before failed (a failing
// status or output that is not UTF-8); with none left, an empty environment.
// The probe reads no terminal.
TEST(Shell, ProbesInOrderUntilOneSucceeds) {
  struct Case {
    const char* script;
    Shell::Environment environment;
    const char* probes;
  } cases[] = {
      {"printf 'PATH=/x:/y\\nNAME= v \\n'", {{"PATH", "/x:/y"}, {"NAME", "v"}}, "-l -i -c env\n"},
      {"[ \"$1\" = -c ] || exit 1; echo X=plain", {{"X", "plain"}}, "-l -i -c env\n-l -c env\n-c env\n"},
      {"[ \"$1\" = -c ] && { echo OK=1; exit 0; }; printf 'A=\\377\\n'", {{"OK", "1"}}, "-l -i -c env\n-l -c env\n-c env\n"},
      {"echo A=1; exit 1", {}, "-l -i -c env\n-l -c env\n-c env\n"},
      {"printf 'STDIN=%s\\n' \"$(readlink /proc/$$/fd/0)\"; (: < /dev/tty) 2>/dev/null || echo TTY=no",
       {{"STDIN", "/dev/null"}, {"TTY", "no"}}, "-l -i -c env\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    TempDir dir;
    auto log = dir.path() / "argv";
    Shell shell(writeScript(dir, "echo \"$*\" >> '" + log.string() + "'\n" + c.script + "\n"));
    ASSERT_TRUE(shell.environment());
    EXPECT_EQ(*shell.environment(), c.environment);
    EXPECT_EQ(readFile(log), c.probes);
  }
  EXPECT_EQ(Shell("/nonexistent/tavrik-shell").environment(), Shell::Environment{});
}

// Start-up files that wait forever must not hang the engine: each probe is
// cut off, and everything the shell started goes with it. A shell that has
// exited while its child holds the pipe has given its whole output.
TEST(Shell, HangingShellIsKilledAndExitedShellEndsTheProbe) {
  TempDir dir;
  auto pids = dir.path() / "pids";
  Shell hanging(writeScript(dir, "sleep 1000 &\necho $! >> '" + pids.string() + "'\nwait\n"), 200ms);
  EXPECT_EQ(hanging.environment(), Shell::Environment{});
  std::ifstream in(pids);
  int count = 0;
  for (pid_t pid; in >> pid; ++count) {
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      gone = processIsGone(pid);
      if (!gone) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone) << "sleep " << pid << " survived";
  }
  EXPECT_EQ(count, 3);
  TempDir other;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Shell(writeScript(other, "echo A=1\n(sleep 5 &)\nexit 0\n"), 20s).environment(), (Shell::Environment{{"A", "1"}}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}
