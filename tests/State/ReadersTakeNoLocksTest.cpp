// Readers run beside the user's own git commands: none may take index.lock
// or write a refreshed index back, or a `git add` in a terminal fails.
#include "tavrik/State/GitExecRevListCountOperation.h"
#include "tavrik/Diff/GitExecDiffOperation.h"
#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitExecCheckIgnoreOperation.h"
#include "tavrik/State/GitViewExecConfigOperation.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewExecSubmoduleOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"
#include "tavrik/State/GitViewStashesOperation.h"

#include "Support/Helpers.h"

#include <fstream>
#include <iterator>

using namespace tavrik;
using namespace tavrik::testing;
namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Rewrites the files with their own bytes and a new time, so every index
// entry needs its stat data refreshed: a reader that may write the index
// writes it then.
void touchAll(const std::vector<fs::path>& files, int step) {
  for (const auto& file : files) {
    const auto bytes = contents(file);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    fs::last_write_time(file, fs::file_time_type::clock::now() + std::chrono::seconds(10 + step));
  }
}

} // namespace

TEST(ReadersTakeNoLocks, NoReaderWritesTheIndexOrMindsAHeldLock) {
  ScratchRepo sub;
  sub.commitFile("s.txt", "s\n", "s");
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "a");
  repo.git({"-c", "protocol.file.allow=always", "submodule", "add", "-q", sub.path().string(), "sub"});
  repo.git({"commit", "-q", "-m", "sub"});
  repo.write("a.txt", "changed\n");
  const std::vector<fs::path> files = {repo.path() / ".gitmodules", repo.path() / "sub/s.txt"};
  const std::vector<fs::path> indexes = {repo.path() / ".git/index", repo.path() / ".git/modules/sub/index"};
  auto queue = readerQueue(repo);

  const std::pair<const char*, std::function<void()>> readers[] = {
      {"status", [&] { runOn(queue, makeOperation<GitViewExecStatusOperation>(false)); }},
      {"diff", [&] { runOn(queue, makeOperation<GitExecDiffOperation>()); }},
      {"submodules", [&] { runOn(queue, makeOperation<GitViewExecSubmoduleOperation>()); }},
      {"change count", [&] { runOn(queue, makeOperation<GitExecStatusChangeCountOperation>()); }},
      {"refs", [&] { runOn(queue, makeOperation<GitViewRefsOperation>()); }},
      {"head", [&] { runOn(queue, makeOperation<GitViewHeadOperation>()); }},
      {"config", [&] { runOn(queue, makeOperation<GitViewExecConfigOperation>()); }},
      {"stashes", [&] { runOn(queue, makeOperation<GitViewStashesOperation>()); }},
      {"check-ignore", [&] { runOn(queue, makeOperation<GitExecCheckIgnoreOperation>(std::vector<std::string>{"a.txt"})); }},
  };
  int step = 0;
  for (const auto& [name, read] : readers) {
    SCOPED_TRACE(name);
    touchAll(files, ++step);
    std::vector<std::string> before;
    for (const auto& index : indexes) before.push_back(contents(index));
    ASSERT_NO_THROW(read());
    for (size_t i = 0; i < indexes.size(); ++i) EXPECT_TRUE(contents(indexes[i]) == before[i]) << indexes[i] << " written";

    // A user's command holds the lock: the read still succeeds and leaves it.
    repo.write(".git/index.lock", "held");
    EXPECT_NO_THROW(read());
    EXPECT_EQ(contents(repo.path() / ".git/index.lock"), "held");
    fs::remove(repo.path() / ".git/index.lock");
  }

  repo.write(".git/index.lock", "held");
  auto status = runOn(queue, makeOperation<GitViewExecStatusOperation>(false));
  fs::remove(repo.path() / ".git/index.lock");
  std::vector<std::string> listed;
  for (const auto& entry : status->entries) listed.push_back(*entry.newPath);
  std::vector<std::string> git;
  for (const auto& record : split(repo.git({"status", "-z", "--porcelain"}), '\0')) git.push_back(record.substr(3));
  EXPECT_EQ(listed, git);
}
