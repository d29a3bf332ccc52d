#include "tavrik/History/GitFileHistoryOperation.h"

#include "Support/Helpers.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <random>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// id, status letter, old path (renames and copies), path.
using Row = std::tuple<std::string, char, std::string, std::string>;

std::vector<Row> gitRows(const GitDir& repo, const std::string& path) {
  std::vector<Row> rows;
  for (const auto& line : split(repo.git({"log", "--follow", "--name-status",
                                          "--format=@%H", "--", path}),
                                '\n')) {
    if (line.rfind("@", 0) == 0) {
      rows.emplace_back(line.substr(1), 'M', "", "");
    } else if (!line.empty() && !rows.empty()) {
      auto fields = split(line + "\t", '\t');
      auto& [id, status, oldPath, newPath] = rows.back();
      status = fields[0][0];
      // Text output quotes the Latin-1 name; the rows keep its bytes.
      auto unquoted = [](const std::string& name) { return gitUnquotedPrefix(name).value_or(GitUnquotedName{name}).name; };
      if (fields.size() > 2) oldPath = unquoted(fields[1]);
      newPath = unquoted(fields.back());
    }
  }
  return rows;
}

GitFileHistoryOptions page(size_t skip, std::optional<size_t> limit) {
  GitFileHistoryOptions options;
  options.skip = skip;
  options.limit = limit;
  return options;
}

} // namespace

// Two renames on the main line and one inside a merged branch, among seeded
// edits of the file and of others: the rows equal git log --follow's, and
// pages put together equal one walk.
TEST(GitFileHistory, RowsEqualGitLogFollowAcrossRenamesAndMerges) {
  ScratchRepo repo;
  std::mt19937 random(11);
  std::string content;
  std::string path = "a.txt";
  auto edit = [&](int step) {
    content += "line " + std::to_string(step) + " of the followed file\n";
    repo.commitFile(path, content, "edit " + std::to_string(step));
    if (random() % 2) repo.commitFile("other" + std::to_string(random() % 3) + ".txt", std::to_string(step), "other");
  };
  auto rename = [&](const std::string& to) {
    std::filesystem::create_directories((repo.path() / to).parent_path());
    repo.git({"mv", path, to});
    repo.git({"commit", "-qm", "move to " + to});
    path = to;
  };
  for (int step = 0; step < 30; ++step) {
    edit(step);
    if (step == 8) rename("dir/b.txt");
    if (step == 16) {
      repo.git({"checkout", "-qb", "side"});
      rename("dir/c\xe9.txt");
      edit(100);
      repo.git({"checkout", "-q", "main"});
      repo.commitFile("unrelated.txt", "x", "main moves on");
      repo.git({"merge", "-q", "--no-ff", "-m", "merge side", "side"});
    }
    if (step == 22) rename("final.txt");
  }
  auto rowsOf = [](const std::vector<GitFileHistoryEntry>& entries) {
    static const char kLetters[] = {'A', 'D', 'M', 'R', 'C'};
    std::vector<Row> rows;
    for (const auto& e : entries)
      rows.emplace_back(e.entry.id.string(), kLetters[static_cast<size_t>(e.change)], e.oldPath.value_or(""), e.path);
    return rows;
  };
  auto queue = readerQueue(repo);
  auto all = rowsOf(runOn(queue, makeOperation<GitFileHistoryOperation>(path, page(0, {}))));
  auto expected = gitRows(repo, path);
  ASSERT_GT(expected.size(), 30u);
  EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const Row& row) { return std::get<1>(row) == 'R'; }), 3);
  EXPECT_EQ(all, expected);
  std::vector<Row> paged;
  for (size_t skip = 0; skip < all.size() + 7; skip += 7) {
    auto rows = rowsOf(runOn(queue, makeOperation<GitFileHistoryOperation>(path, page(skip, 7))));
    paged.insert(paged.end(), rows.begin(), rows.end());
  }
  EXPECT_EQ(paged, all);
  // A walker reads the same rows from one git child, page after page.
  auto walker = std::make_shared<GitFileHistoryWalker>(path);
  std::vector<Row> walked;
  for (;;) {
    auto rows = rowsOf(runOn(queue, makeOperation<GitFileHistoryPageOperation>(walker, 7)));
    walked.insert(walked.end(), rows.begin(), rows.end());
    if (rows.size() < 7) break;
  }
  EXPECT_EQ(walked, all);
  EXPECT_TRUE(walker->finished());
  EXPECT_EQ(rowsOf(walker->entries()), all);
  EXPECT_TRUE(runOn(queue, makeOperation<GitFileHistoryPageOperation>(walker, 7)).empty());

  // Bloom filters change how fast, not what.
  runOn(makeReaderQueue(worktreeDescriptor(repo.path())), makeOperation<GitWriteCommitGraphOperation>());
  EXPECT_TRUE(std::filesystem::exists(repo.path() / ".git/objects/info/commit-graph"));
  EXPECT_EQ(rowsOf(runOn(queue, makeOperation<GitFileHistoryOperation>(path, page(0, {})))), all);
}

// A revision git cannot read fails the first page with git's error, one that
// looks like an option before git runs; either way the walker is finished.
TEST(GitFileHistory, WalkerFailsCleanlyOnBadRevisions) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "a\n", "a");
  auto queue = readerQueue(repo);
  auto unknown = std::make_shared<GitFileHistoryWalker>("a.txt", "no-such-branch");
  EXPECT_THROW(runOn(queue, makeOperation<GitFileHistoryPageOperation>(unknown)), GitStdError);
  EXPECT_TRUE(unknown->finished());
  auto optionLike = std::make_shared<GitFileHistoryWalker>("a.txt", "--all");
  EXPECT_THROW(runOn(queue, makeOperation<GitFileHistoryPageOperation>(optionLike)), TavrikError);
  EXPECT_TRUE(optionLike->finished());
  EXPECT_TRUE(runOn(queue, makeOperation<GitFileHistoryPageOperation>(optionLike)).empty());
}
