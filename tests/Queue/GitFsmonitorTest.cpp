#include "Support/Helpers.h"
#include "Support/ScenarioRepo.h"

#include "tavrik/Commands/GitMonitorConfig.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Queue/GitRepositoryWatcher.h"
#include "tavrik/State/GitStatusParser.h"
#include "tavrik/State/GitViewExecStatusOperation.h"

#include <fstream>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>

using namespace tavrik;
using namespace tavrik::testing;
namespace fs = std::filesystem;

namespace {

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// "XY path [<- old]" per entry, one a line, for a failure message.
std::string describe(const std::vector<GitStatusEntry>& entries) {
  std::string text;
  for (auto& e : entries)
    text += std::string{rawValue(e.index), rawValue(e.worktree), ' '} + e.path().value_or("") +
            (e.oldPath && e.newPath && *e.oldPath != *e.newPath ? " <- " + *e.oldPath : "") +
            (e.modificationDate ? " @" + std::to_string(e.modificationDate->time_since_epoch().count()) : "") +
            (e.modeWorktree ? " " + std::to_string(*e.modeWorktree) : "") + "\n";
  return text;
}

} // namespace

TEST(GitFsmonitor, AnswersEverythingWhenItCannotBeSure) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "first");
  auto queue = readerQueue(repo);
  // No watcher to ask: "/" at once, with a token no watcher accepts.
  EXPECT_EQ(askFsmonitor(repo, {}, "x"), "tavrik:none\n/\n");

  auto watcher = GitRepositoryWatcher::attach(queue);
  auto environment = watcher->fsmonitorEnvironment();
  ASSERT_EQ(environment.size(), 2u);
  auto first = askFsmonitor(repo, environment, "1796841574345508682"); // git's own first token
  EXPECT_EQ(first.substr(first.find('\n')), "\n/\n");
  const std::string token = firstLine(first);
  EXPECT_EQ(askFsmonitor(repo, environment, token), token + "\n") << "nothing changed since";

  repo.write("a.txt", "changed\n");
  repo.write("new/b.txt", "b\n");
  auto answer = askFsmonitor(repo, environment, token);
  EXPECT_NE(answer.find("\na.txt\n"), std::string::npos) << answer;
  EXPECT_NE(answer.find("\nnew/\n"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("\n/\n"), std::string::npos) << answer;

  auto wrongSecret = environment;
  wrongSecret.begin()->second = "0";
  wrongSecret.rbegin()->second = "0";
  EXPECT_EQ(askFsmonitor(repo, wrongSecret, token), "tavrik:none\n/\n");

  // Another attach is another journal: the old token proves nothing.
  watcher->detach();
  EXPECT_TRUE(watcher->fsmonitorEnvironment().empty());
  EXPECT_EQ(askFsmonitor(repo, environment, token), "tavrik:none\n/\n");
  auto again = GitRepositoryWatcher::attach(queue);
  auto stale = askFsmonitor(repo, again->fsmonitorEnvironment(), token);
  EXPECT_EQ(stale.substr(stale.find('\n')), "\n/\n");
}

// A journal smaller than what changed cannot answer for the oldest token.
TEST(GitFsmonitor, ATokenOlderThanTheJournalAnswersEverything) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "first");
  auto queue = readerQueue(repo);
  auto watcher = GitRepositoryWatcher::attach(queue, {.fsmonitorJournalCapacity = 4});
  auto environment = watcher->fsmonitorEnvironment();
  const std::string token = firstLine(askFsmonitor(repo, environment, "0"));
  repo.write("b.txt", "b\n");
  auto within = askFsmonitor(repo, environment, token);
  EXPECT_EQ(within.find("\n/\n"), std::string::npos) << within;
  for (int i = 0; i < 5; ++i) repo.write("c" + std::to_string(i) + ".txt", "c\n");
  auto beyond = askFsmonitor(repo, environment, token);
  EXPECT_EQ(beyond.substr(beyond.find('\n')), "\n/\n");
}

namespace {

// A working tree changed at random, in the ways an editor, a shell and a
// terminal's git change it, with status compared after every step.
class RandomTree {
public:
  RandomTree(const GitDir& repo, unsigned seed) : repo_(repo), random_(seed) {}

  std::string step(const std::function<void()>& reattach) {
    try {
      return change(reattach);
    } catch (const fs::filesystem_error&) {
      return "nothing (a file stood where a folder was wanted)";
    }
  }

private:
  std::string change(const std::function<void()>& reattach) {
    auto files = listFiles();
    switch (pick(27)) {
    case 13:
    case 14:
    case 15:
    case 23:
    case 25:
    case 0:
    case 1:
      if (files.empty()) break;
      repo_.write(any(files), "saved " + std::to_string(random_()) + "\n");
      return "save";
    case 2: {
      // Bytes that are not UTF-8 are a name like any other.
      std::string name = pick(3) == 0 ? "caf\xe9" : "n" + std::to_string(pick(1000));
      repo_.write(any(folders()) + name + ".txt", "new\n");
      return "new file";
    }
    case 3:
      // Few names, so that files also land in untracked folders that exist.
      repo_.write("u" + std::to_string(pick(3)) + "/deep/x" + std::to_string(pick(3)) + ".txt", "untracked\n");
      return "file in an untracked folder";
    case 16:
      // A folder holding only ignored files is not shown, until it is.
      repo_.write("logs/" + std::to_string(pick(3)) + (pick(2) ? ".log" : ".txt"), "x\n");
      return "file beside ignored ones";
    case 17: {
      if (files.empty()) break;
      auto from = any(files);
      repo_.tryGit({"mv", "-k", from, from + ".moved"});
      return "staged rename";
    }
    case 18: {
      // A file becomes a folder, or a folder a file.
      if (files.empty()) break;
      auto file = any(files);
      fs::remove(repo_.path() / file);
      if (pick(2)) {
        repo_.write(file + "/inner.txt", "was a file\n");
        return "file to folder";
      }
      auto folder = any(folders());
      if (folder.empty()) break;
      fs::remove_all(repo_.path() / folder);
      repo_.write(folder.substr(0, folder.size() - 1), "was a folder\n");
      return "folder to file";
    }
    case 19: {
      if (files.empty()) break;
      auto file = any(files);
      fs::remove(repo_.path() / file);
      fs::create_symlink("a.txt", repo_.path() / file);
      return "file to symbolic link";
    }
    case 4:
      if (files.empty()) break;
      fs::remove(repo_.path() / any(files));
      return "delete";
    case 24: {
      // Entries with flags: an intent-to-add file, or one git is told not to look at.
      if (files.empty()) break;
      if (pick(2)) {
        auto name = "i" + std::to_string(pick(100)) + ".txt";
        repo_.write(name, "intent\n");
        repo_.tryGit({"add", "-N", name});
        return "intent to add";
      }
      repo_.tryGit({"update-index", pick(2) ? "--assume-unchanged" : "--skip-worktree", any(files)});
      return "assume unchanged or skip worktree";
    }
    case 20: {
      if (files.empty()) break;
      auto file = repo_.path() / any(files);
      if (fs::is_symlink(file)) break;
      fs::permissions(file, fs::perms::owner_exec, pick(2) ? fs::perm_options::add : fs::perm_options::remove);
      return "executable bit";
    }
    case 21:
      // An edit, undone later: the bytes are the index's again, the times not.
      if (undo_) {
        repo_.write(undo_->first, undo_->second);
        undo_.reset();
        return "edit undone";
      }
      [[fallthrough]];
    case 22: {
      if (files.empty()) break;
      auto file = any(files);
      if (fs::is_symlink(repo_.path() / file)) break;
      auto content = readFile(repo_.path() / file);
      if (pick(2)) {
        undo_.emplace(file, content);
        repo_.write(file, content + "edited\n");
        return "edit";
      }
      repo_.write(file, content);
      return "same bytes saved";
    }
    case 5: {
      if (files.empty()) break;
      auto target = any(folders()) + "r" + std::to_string(pick(1000)) + ".txt";
      fs::rename(repo_.path() / any(files), repo_.path() / target);
      return "rename";
    }
    case 6: {
      auto folder = any(folders());
      if (folder.empty()) break;
      if (pick(2)) {
        fs::rename(repo_.path() / folder, repo_.path() / ("moved" + std::to_string(pick(1000))));
        return "rename folder";
      }
      fs::remove_all(repo_.path() / folder);
      return "delete folder";
    }
    case 7:
      repo_.tryGit({"checkout", "-qf", pick(2) ? "other" : "main"});
      return "checkout in a terminal";
    case 8:
      if (pick(2)) {
        repo_.tryGit({"stash", "-qu"});
        return "stash";
      }
      repo_.tryGit({"stash", "pop", "-q"});
      return "stash pop";
    case 9:
      repo_.git({"add", "-A"});
      return "stage everything";
    case 10:
      repo_.write("build/tracked.o", "rebuilt " + std::to_string(random_()) + "\n");
      repo_.write("build/out.log", "log\n");
      return "write in an ignored folder";
    case 11:
      reattach();
      return "detach and attach again";
    case 26: {
      // Rules outside the working tree, which the watcher does not see.
      static const char* const kRules[] = {"", "*.moved\n", "n1*\n", "u1/\n", "*.txt\n!a.txt\n"};
      const char* rules = kRules[pick(5)];
      if (const auto which = pick(3); which == 2) {
        // How files compare, which a refresh in process reads from the configuration.
        repo_.git({"config", "core.fileMode", pick(2) ? "false" : "true"});
        return "core.fileMode changed";
      } else if (which == 1) {
        repo_.write(".git/info/exclude", rules);
        return "exclude rules changed";
      }
      std::ofstream(fs::path(std::getenv("XDG_CONFIG_HOME")) / "git" / "ignore", std::ios::trunc) << rules;
      return "the user's ignore rules changed";
    }
    case 12: {
      // Same size, same time, in the second the index was written: only
      // git's check of racily clean entries can tell.
      if (files.empty()) break;
      auto file = repo_.path() / any(files);
      auto kept = fs::last_write_time(file);
      repo_.write(fs::relative(file, repo_.path()), std::string(fs::file_size(file), "xyz"[pick(3)]));
      fs::last_write_time(file, kept);
      fs::last_write_time(repo_.path() / ".git" / "index", kept);
      return "same-size save in the index's second";
    }
    }
    return "nothing";
  }

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  template <class T> const T& any(const std::vector<T>& items) { return items[pick(items.size())]; }

  std::vector<std::string> listFiles() const {
    std::vector<std::string> files;
    for (auto& entry : fs::recursive_directory_iterator(repo_.path())) {
      auto relative = fs::relative(entry.path(), repo_.path()).string();
      if (!relative.starts_with(".git") && !entry.is_directory()) files.push_back(relative);
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  // "" for the root, else "folder/".
  std::vector<std::string> folders() const {
    std::vector<std::string> folders{""};
    for (auto& entry : fs::recursive_directory_iterator(repo_.path())) {
      auto relative = fs::relative(entry.path(), repo_.path()).string();
      if (!relative.starts_with(".git") && !relative.starts_with("build") && entry.is_directory())
        folders.push_back(relative + "/");
    }
    std::sort(folders.begin(), folders.end());
    return folders;
  }

  const GitDir& repo_;
  std::mt19937 random_;
  std::optional<std::pair<std::string, std::string>> undo_; // a file and its bytes before an edit
};

} // namespace

TEST(GitFsmonitor, StatusWithTheMonitorEqualsStatusWithoutAfterRandomChanges) {
  size_t limitedRuns = 0, inProcessRuns = 0, steps = 0;
  // The user's own ignore file, which git reads whatever GIT_CONFIG_GLOBAL says.
  TempDir userConfig;
  fs::create_directories(userConfig.path() / "git");
  const char* kept = std::getenv("XDG_CONFIG_HOME");
  const std::optional<std::string> keptValue = kept ? std::optional<std::string>(kept) : std::nullopt;
  setenv("XDG_CONFIG_HOME", userConfig.path().c_str(), 1);
  struct Restore {
    const std::optional<std::string>& value;
    ~Restore() { value ? setenv("XDG_CONFIG_HOME", value->c_str(), 1) : unsetenv("XDG_CONFIG_HOME"); }
  } restore{keptValue};
  for (unsigned seed : randomSeeds({1, 2, 3, 4})) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::ofstream(userConfig.path() / "git" / "ignore", std::ios::trunc);
    ScratchRepo repo;
    repo.write(".gitignore", "build/\n*.log\n");
    repo.write("logs/.keep.log", "ignored\n");
    repo.write("src/a.txt", "a\n");
    repo.write("src/lib/b.txt", "b\n");
    repo.write("docs/c.txt", "c\n");
    repo.write("build/tracked.o", "o\n");
    repo.git({"add", "-A"});
    repo.git({"add", "-f", "build/tracked.o"});
    repo.git({"commit", "-qm", "first"});
    // Change times would give the racy saves away.
    repo.git({"config", "core.trustctime", "false"});
    repo.git({"branch", "other"});
    repo.git({"checkout", "-q", "other"});
    repo.commitFile("src/lib/only-other.txt", "other\n", "other");
    repo.git({"checkout", "-q", "main"});

    auto queue = readerQueue(repo);
    // The view's own refreshes would only slow the comparison down.
    const GitRepositoryWatcherOptions quiet{.quietPeriod = std::chrono::hours(1), .maximumDelay = std::chrono::hours(1)};
    std::shared_ptr<GitRepositoryWatcher> watcher = GitRepositoryWatcher::attach(queue, quiet);
    size_t answers = 0, fullAnswers = 0, wholeRuns = 0;
    const size_t limitedBefore = limitedRuns;
    auto count = [&] {
      auto statistics = watcher->statistics();
      answers += statistics.fsmonitorAnswers;
      fullAnswers += statistics.fsmonitorFullAnswers;
      limitedRuns += statistics.pathLimitedStatusRuns;
      inProcessRuns += statistics.inProcessStatusRuns;
      wholeRuns += statistics.wholeStatusRuns;
    };
    auto reattach = [&] {
      count();
      watcher->detach();
      watcher = GitRepositoryWatcher::attach(queue, quiet);
    };
    RandomTree tree(repo, seed);
    for (int i = 0; i < randomSteps(40); ++i, ++steps) {
      auto what = tree.step(reattach);
      auto plain = repo.git({"--no-optional-locks", "status", "-z", "--porcelain=v2", "--untracked-files=normal",
                             "--renames", "--no-show-stash"});
      GitBuffer buffer(plain);
      auto expected = GitStatusParser::parse(buffer);
      GitViewExecStatusOperation::sortByPath(expected);
      GitViewExecStatusOperation::stampModificationDates(expected, Url::fileURL(repo.path().string(), true));
      const auto index = repo.path() / ".git" / "index";
      const auto indexWritten = fs::last_write_time(index);
      auto monitored = runOn(queue, makeOperation<GitViewExecStatusOperation>());
      ASSERT_TRUE(monitored.has_value());
      // The user's git must never find the index locked by the engine's reads.
      EXPECT_EQ(fs::last_write_time(index), indexWritten) << "the repository's index was written";
      ASSERT_EQ(monitored->entries, expected) << "after step " << i << ": " << what << "\nmonitored:\n"
                                              << describe(monitored->entries) << "git:\n" << describe(expected);
    }
    count();
    // Else the comparison proved nothing of the monitor, or of the runs on
    // changed paths alone.
    EXPECT_GT(answers - fullAnswers + limitedRuns - limitedBefore, 10u) << wholeRuns << " whole";
  }
  // Most steps change the index, HEAD or folders, which need the whole tree.
  RecordProperty("refreshesOnChangedPaths", std::to_string(limitedRuns) + " of " + std::to_string(steps) + ", " +
                                                std::to_string(inProcessRuns) + " without git status");
  EXPECT_GT(inProcessRuns, 0u) << "no refresh compared the files in process";
  EXPECT_GE(limitedRuns * 5, steps) << limitedRuns << " of " << steps << " refreshes on changed paths alone";
}

// The opt-in for the terminal: the user's own git asks the watcher while one
// is attached, checks everything itself while none is, and `disable` puts
// back exactly what was configured before.
TEST(GitFsmonitor, TerminalGitAsksTheWatcherOnceEnabled) {
  ScratchRepo repo;
  repo.commitFile("src/a.txt", "a\n", "first");
  // git 2.39 keeps a new token only when it writes the index for another
  // reason, here the first "/" that vouches for this file again.
  repo.commitFile("src/clean.txt", "never changed\n", "second");
  repo.git({"config", "--add", "core.fsmonitor", "false"});
  repo.git({"config", "--add", "core.fsmonitor", "no"});
  repo.git({"config", "core.afterwards", "kept in place"});
  const auto configFile = repo.path() / ".git" / "config";
  const std::string before = readFile(configFile), listed = repo.git({"config", "--local", "--list"});
  auto queue = readerQueue(repo);
  auto toggle = [&](GitMonitorConfigChange change) { runOn(queue, makeOperation<GitMonitorConfigOperation>(change)); };
  // What the user's git prints, and what it prints checking everything itself.
  auto compare = [&](const std::string& when) {
    // Without optional locks: written without the monitor, the index would lose its token.
    auto plain = repo.git({"--no-optional-locks", "-c", "core.fsmonitor=false", "status", "-z", "--porcelain=v2", "-uall"});
    EXPECT_EQ(repo.git({"status", "-z", "--porcelain=v2", "-uall"}), plain) << when;
  };

  toggle(GitMonitorConfigChange::enable);
  toggle(GitMonitorConfigChange::enable);
  EXPECT_EQ(repo.git({"config", "core.fsmonitorHookVersion"}), "2\n");
  repo.write("src/a.txt", "no client\n");
  compare("without a watcher");

  auto watcher = GitRepositoryWatcher::attach(queue);
  compare("first question");
  for (int i = 0; i < 3; ++i) {
    repo.write("src/a.txt", "saved " + std::to_string(i) + "\n");
    repo.write("new" + std::to_string(i) + "/b.txt", "b\n");
    compare("after save " + std::to_string(i));
  }
  auto statistics = watcher->statistics();
  EXPECT_GE(statistics.fsmonitorAnswers - statistics.fsmonitorFullAnswers, 3u) << "the terminal's git did not ask";
  watcher->detach();
  fs::remove(repo.path() / "new0" / "b.txt");
  compare("after the watcher left");

  toggle(GitMonitorConfigChange::disable);
  EXPECT_EQ(readFile(configFile), before);
  EXPECT_EQ(repo.git({"config", "--local", "--list"}), listed);
  EXPECT_THROW(toggle(GitMonitorConfigChange::disable), TavrikError);

  // A configuration changed meanwhile keeps that change; the keys get their values back.
  toggle(GitMonitorConfigChange::enable);
  repo.git({"config", "user.added", "meanwhile"});
  toggle(GitMonitorConfigChange::disable);
  EXPECT_EQ(repo.git({"config", "--get-all", "core.fsmonitor"}), "false\nno\n");
  EXPECT_NE(repo.tryGit({"config", "core.fsmonitorHookVersion"}).status, 0);
  EXPECT_EQ(repo.git({"config", "user.added"}), "meanwhile\n");
}

// The index extensions a terminal's monitored git wrote survive the engine's
// own stage, unstage and commit while a watcher is attached.
TEST(GitFsmonitor, EngineIndexCommandsKeepTheMonitorsExtensions) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "first");
  repo.commitFile("b.txt", "b\n", "second");
  repo.git({"config", "core.untrackedCache", "true"});
  auto queue = readerQueue(repo);
  runOn(queue, makeOperation<GitMonitorConfigOperation>(GitMonitorConfigChange::enable));
  auto watcher = GitRepositoryWatcher::attach(queue);
  auto extensions = [&](const std::string& after) {
    const std::string index = readFile(repo.path() / ".git" / "index");
    EXPECT_NE(index.find("FSMN"), std::string::npos) << "after " << after;
    EXPECT_NE(index.find("UNTR"), std::string::npos) << "after " << after;
  };
  repo.git({"status", "--porcelain"});
  extensions("the terminal's status");
  repo.write("a.txt", "changed\n");
  runOn(queue, makeOperation<GitExecAddOperation>(std::set<std::string>{"a.txt"}));
  extensions("stage");
  runOn(queue, makeOperation<GitExecResetOperation>(GitExecResetOptions{.paths = std::set<std::string>{"a.txt"}}));
  extensions("unstage");
  runOn(queue, makeOperation<GitExecAddOperation>(std::set<std::string>{"a.txt"}));
  runOn(queue, makeOperation<GitExecCommitOperation>(GitExecCommitOptions{.message = "third"}));
  extensions("commit");
  EXPECT_EQ(repo.git({"status", "--porcelain"}), "");
}
