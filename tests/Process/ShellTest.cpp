#include "tavrik/Process/Shell.h"

#include "Support/ScratchRepo.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <pwd.h>
#include <thread>
#include <unistd.h>

using tavrik::Shell;
using tavrik::testing::TempDir;
using namespace std::chrono_literals;

namespace {

std::string writeScript(const TempDir& dir, const std::string& name, const std::string& body) {
  auto path = dir.path() / name;
  std::ofstream(path) << "#!/bin/sh\n" << body;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path.string();
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A killed process that its new parent has not reaped yet.
bool isZombie(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

} // namespace

TEST(Shell, ParsesEnvironmentLines) {
  auto env = Shell::parseEnvironment("A=1\n"
                                     "\n"
                                     "B=  two words \r\n"
                                     "=leading\n"
                                     "==x\n"
                                     "C=\n"
                                     "no equals sign\n"
                                     "D==x=y\n"
                                     "=E=e\n"
                                     " F =\t\xc2\xa0" "f\n"
                                     "G=  \n"
                                     "A=3");
  const Shell::Environment expected = {{"A", "3"}, {"B", "two words"}, {"D", "=x=y"}, {"E", "e"},
                                       {"F", "f"}, {"G", ""}};
  EXPECT_EQ(env, expected);
  EXPECT_TRUE(Shell::parseEnvironment("").empty());
}

TEST(Shell, ReadsEnvironmentOfFirstProbe) {
  TempDir dir;
  auto log = dir.path() / "argv";
  auto path = writeScript(dir, "sh", "echo \"$*\" >> '" + log.string() + "'\nprintf 'PATH=/x:/y\\nNAME= v \\n'\n");
  Shell shell(path);
  ASSERT_TRUE(shell.environment());
  EXPECT_EQ(*shell.environment(), (Shell::Environment{{"PATH", "/x:/y"}, {"NAME", "v"}}));
  EXPECT_EQ(shell.environmentPATH(), "/x:/y");
  EXPECT_EQ(readFile(log), "-l -i -c env\n");
  EXPECT_EQ(shell.url().path(), path);
}

TEST(Shell, FallsBackThroughProbesInOrder) {
  TempDir dir;
  auto log = dir.path() / "argv";
  auto path = writeScript(dir, "sh",
                          "echo \"$*\" >> '" + log.string() + "'\n[ \"$1\" = -c ] || exit 1\nprintf 'X=plain\\n'\n");
  Shell shell(path);
  EXPECT_EQ(*shell.environment(), (Shell::Environment{{"X", "plain"}}));
  EXPECT_EQ(readFile(log), "-l -i -c env\n-l -c env\n-c env\n");
}

TEST(Shell, FailingShellGivesEmptyEnvironment) {
  TempDir dir;
  Shell shell(writeScript(dir, "sh", "echo A=1\nexit 1\n"));
  ASSERT_TRUE(shell.environment());
  EXPECT_TRUE(shell.environment()->empty());
  EXPECT_EQ(shell.environmentPATH(), std::nullopt);
  Shell missing((dir.path() / "no-such-shell").string());
  ASSERT_TRUE(missing.environment());
  EXPECT_TRUE(missing.environment()->empty());
}

TEST(Shell, InvalidUtf8OutputIsAFailedProbe) {
  TempDir dir;
  auto path = writeScript(dir, "sh", "[ \"$1\" = -c ] && { echo OK=1; exit 0; }\nprintf 'A=\\377\\n'\n");
  EXPECT_EQ(*Shell(path).environment(), (Shell::Environment{{"OK", "1"}}));
}

// Start-up files that wait forever must not hang the engine: each probe is
// cut off, and everything the shell started goes with it.
TEST(Shell, HangingShellIsKilledAndCountsAsFailed) {
  TempDir dir;
  auto pids = dir.path() / "pids";
  auto path = writeScript(dir, "sh", "sleep 1000 &\necho $! >> '" + pids.string() + "'\nwait\n");
  Shell shell(path, 200ms);
  ASSERT_TRUE(shell.environment());
  EXPECT_TRUE(shell.environment()->empty());
  std::ifstream in(pids);
  int count = 0;
  for (pid_t pid; in >> pid; ++count) {
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      gone = ::kill(pid, 0) != 0 || isZombie(pid);
      if (!gone) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone) << "sleep " << pid << " survived";
  }
  EXPECT_EQ(count, 3);
}

// An exited shell whose background child still holds standard output open
// has given its whole output.
TEST(Shell, ShellExitEndsProbeEvenWhenPipeStaysOpen) {
  TempDir dir;
  auto path = writeScript(dir, "sh", "echo A=1\n(sleep 5 &)\nexit 0\n");
  Shell shell(path, 20s);
  EXPECT_EQ(*shell.environment(), (Shell::Environment{{"A", "1"}}));
}

TEST(Shell, ProbeReadsNoTerminal) {
  TempDir dir;
  auto path = writeScript(dir, "sh",
                          "printf 'STDIN=%s\\n' \"$(readlink /proc/$$/fd/0)\"\n"
                          "if (: < /dev/tty) 2>/dev/null; then echo TTY=yes; else echo TTY=no; fi\n");
  Shell shell(path);
  EXPECT_EQ(*shell.environment(), (Shell::Environment{{"STDIN", "/dev/null"}, {"TTY", "no"}}));
}

TEST(Shell, UserShellPathComesFromPasswordDatabase) {
  passwd* entry = ::getpwuid(::geteuid());
  if (!entry || !entry->pw_shell || !*entry->pw_shell) {
    EXPECT_EQ(Shell::userShellPath(), std::nullopt);
  } else {
    EXPECT_EQ(Shell::userShellPath(), std::string(entry->pw_shell));
  }
}

TEST(Shell, DefaultShellCanBeReplaced) {
  TempDir dir;
  auto shell = std::make_shared<const Shell>(writeScript(dir, "sh", "echo MINE=1\n"));
  Shell::setDefaultShell(shell);
  EXPECT_EQ(Shell::defaultShell(), shell);
  Shell::setDefaultShell(nullptr);
  EXPECT_EQ(Shell::defaultShell(), nullptr);
}
