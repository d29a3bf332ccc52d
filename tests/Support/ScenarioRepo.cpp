#include "Support/ScenarioRepo.h"

#include "tavrik/Util/FileSystem.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrik::testing {

std::filesystem::path testPrefix() { return TAVRIK_TEST_PREFIX; }

void makeGitEnvironmentHermetic() {
  for (auto [name, value] : {std::pair{"GIT_CONFIG_GLOBAL", "/dev/null"},
                             {"GIT_CONFIG_NOSYSTEM", "1"},
                             {"GIT_AUTHOR_NAME", "Test Author"},
                             {"GIT_AUTHOR_EMAIL", "author@example.com"},
                             {"GIT_COMMITTER_NAME", "Test Committer"},
                             {"GIT_COMMITTER_EMAIL", "committer@example.com"},
                             {"GIT_AUTHOR_DATE", "2024-01-02T10:00:00+02:00"},
                             {"GIT_COMMITTER_DATE", "2024-01-02T10:00:00+02:00"}})
    setenv(name, value, 1);
  for (const char* name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE"}) unsetenv(name);
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tavrik-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  // Resolved, so that paths compare equal to what git prints.
  path_ = std::filesystem::canonical(tmpl);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

CommandResult runProgram(const std::vector<std::string>& argv, const std::filesystem::path& cwd) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    throw std::runtime_error("cannot launch " + argv[0]);
  }
  CommandResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  char buf[65536];
  for (int open = 2; open > 0;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string runScript(const std::string& script, const std::filesystem::path& cwd) {
  auto result = runProgram({"/bin/sh", "-ec", script}, cwd);
  if (result.status != 0) throw std::runtime_error("script failed (" + std::to_string(result.status) + "): " + result.err);
  return result.out;
}

std::string readFile(const std::filesystem::path& path) {
  // A /proc file of a process that exits while it is read fails the read
  // (ESRCH), which libstdc++ reports by throwing: that is "gone" too.
  try {
    return tavrik::readFileIfExists(path.string()).value_or("");
  } catch (const std::exception&) {
    return "";
  }
}

std::vector<std::string> split(const std::string& text, char terminator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t stop; (stop = text.find(terminator, start)) != std::string::npos; start = stop + 1)
    pieces.push_back(text.substr(start, stop - start));
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

bool processIsGone(int pid) {
  // A zombie keeps its /proc entry until its new parent reaps it.
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
}

CommandResult GitDir::tryGit(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProgram(argv, path_);
}

std::string GitDir::git(const std::vector<std::string>& args) const {
  auto result = tryGit(args);
  if (result.status != 0) {
    std::string joined;
    for (auto& a : args) joined += " " + a;
    throw std::runtime_error("git" + joined + " failed (" + std::to_string(result.status) + "): " + result.err);
  }
  return result.out;
}

std::string GitDir::rev(const std::string& what) const {
  auto out = git({"rev-parse", "--verify", "-q", what});
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void GitDir::write(const std::string& relativePath, const std::string& content) const {
  auto full = path_ / relativePath;
  std::filesystem::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
}

std::string GitDir::commitFile(const std::string& relativePath, const std::string& content,
                               const std::string& message) const {
  write(relativePath, content);
  git({"add", "--", relativePath});
  git({"commit", "-q", "-m", message});
  return rev("HEAD");
}

ScratchRepo::ScratchRepo(bool bare) : ScratchRepo(std::make_unique<TempDir>(), bare) {}

ScratchRepo::ScratchRepo(std::unique_ptr<TempDir> dir, bool bare) : GitDir(dir->path()), dir_(std::move(dir)) {
  makeGitEnvironmentHermetic();
  std::vector<std::string> args = {"init", "-q", "-b", "main"};
  if (bare) args.push_back("--bare");
  git(args);
}

namespace {

// Each commit gets its own minute, so that --date-order and --topo-order
// tell the interleaved side and topic lines apart.
const char* kScenario = R"sh(
at() { export GIT_AUTHOR_DATE="2024-03-01T10:$1:00+02:00" GIT_COMMITTER_DATE="2024-03-01T10:$1:00-05:30"; }
c() { at "$1"; printf '%s\n' "$2" > "$3"; git add -- "$3"; git commit -q -m "$4"; }
bad=$(printf 'bad\377\376name')
git init -q -b main work && cd work
printf 'line %s\n' $(seq 1 20) > old.txt; mkdir old && mv old.txt old/name.txt
echo a > a.txt; echo base > c.txt; echo h > HEAD; echo k > keep; echo d > d.txt; echo 1 > "$bad"; echo '*.log' > .gitignore
at 00; git add -A; git commit -q -m "A root"
git checkout -q -b side; c 01 s1 s.txt "S1"
git checkout -q -b topic; c 02 t1 t.txt "T1"
git checkout -q main; c 03 b b.txt "B"
git checkout -q side; c 04 s2 s.txt "S2"
git checkout -q main; c 05 e e.txt "E"
git checkout -q side; c 06 s3 s.txt "S3"
git checkout -q topic; c 07 t2 t.txt "T2"
git checkout -q main; at 08; git merge -q --no-ff -m "M1 merge side" side
GIT_COMMITTER_DATE="2024-03-01T10:08:30-05:00" git tag -a v1 -m "release one"
c 09 g g.txt "G"; at 10; git merge -q --no-ff -m "M2 merge topic" topic
at 11; git mv old/name.txt new-name.txt; sed -i 's/^line 7$/changed line 7/' new-name.txt
git add -A; git commit -q -m "move and edit"
git checkout -q -b conflict; c 12 theirs c.txt "conflict theirs"
git checkout -q main; c 13 ours c.txt "main ours"
git clone -q --bare . ../upstream.git
git remote add origin ../upstream.git; git fetch -q origin; git remote set-head origin main
git branch -q -u origin/main main
at 14; up=$(git commit-tree -p main -m "upstream only" main^{tree}); git push -q origin "$up:refs/heads/main"
git fetch -q origin; c 15 local l.txt "local only"
git tag v1-light; git tag blobtag "$(git rev-parse HEAD:keep)"
git branch -q --track feature/deep origin/side; git update-ref refs/heads/feature/deep side~1
git branch lonely HEAD~1; git branch "$(printf 'a\351')" side; git branch zzz topic
git branch gone; git config branch.gone.remote origin; git config branch.gone.merge refs/heads/vanished
at 16; echo stashed >> a.txt; git add a.txt; git stash -q
echo 2 > "$bad"; echo staged > a.txt; git add a.txt; echo again > a.txt
git mv keep kept; git rm -q d.txt; mkdir build; echo o > build/out.o; echo i > debug.log
for f in "$(printf 'unt\351')" 'with space.txt' 'q"uote' "$(printf 'tab\there')" v1...v1-light; do echo u > "$f"; done
cd .. && git clone -q work merging && cd merging && git remote set-url origin ../work && at 17
if git merge -q origin/conflict >/dev/null 2>&1; then exit 1; fi
)sh";

} // namespace

ScenarioRepo::ScenarioRepo(std::unique_ptr<TempDir> dir)
    : upstream(dir->path() / "upstream.git"), work(dir->path() / "work"), merging(dir->path() / "merging"),
      dir_(std::move(dir)) {}

namespace {

// The scenario is built once per build tree and script: each test process
// copies it, so it costs a copy rather than a hundred git runs per test. Of
// two processes building it at once, the first to rename its build wins.
std::filesystem::path builtScenario() {
  makeGitEnvironmentHermetic();
  const std::filesystem::path cache = TAVRIK_TEST_SCENARIO_CACHE;
  const auto built = cache / std::to_string(std::hash<std::string>{}(kScenario));
  if (std::filesystem::exists(built)) return built;
  std::filesystem::create_directories(cache);
  std::string tmpl = (cache / "building-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  runScript(kScenario, tmpl);
  makeGitEnvironmentHermetic(); // the script's dates were its own
  std::error_code ec;
  std::filesystem::rename(tmpl, built, ec);
  if (ec) std::filesystem::remove_all(tmpl, ec);
  return built;
}

std::unique_ptr<TempDir> copyOfScenario() {
  static const std::filesystem::path built = builtScenario();
  auto dir = std::make_unique<TempDir>();
  // -a keeps the modification times the index recorded, so git sees the
  // copied working trees as it left them.
  auto result = runProgram({"cp", "-a", built.string() + "/.", dir->path().string()}, dir->path());
  if (result.status != 0) throw std::runtime_error("cannot copy the scenario: " + result.err);
  return dir;
}

} // namespace

const ScenarioRepo& ScenarioRepo::shared() {
  static const ScenarioRepo scenario(copyOfScenario());
  return scenario;
}

std::unique_ptr<ScenarioRepo> ScenarioRepo::copy() {
  return std::unique_ptr<ScenarioRepo>(new ScenarioRepo(copyOfScenario()));
}

} // namespace tavrik::testing
