#include "tavrik/History/GitLogWalkerOperation.h"

#include "History/GitCommitStream.h"
#include "Queue/GitQueueInternals.h"
#include "Support/Helpers.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

using namespace tavrik;
using namespace tavrik::testing;

namespace {

// A history of `count` commits on main, with side branches merged back, dates
// that go back and forth (so date order and topology disagree), and a few
// messages, lines and file names that hold the search needle in mixed case.
std::string historyStream(int count, unsigned seed) {
  std::mt19937 random(seed);
  std::string out;
  int mark = 0;
  long date = 1'600'000'000;
  std::vector<int> mainLine;
  // Marks start at 1, so 0 stands for no parent.
  auto commit = [&](const std::string& ref, int from, int merge, int i) {
    ++mark;
    date += 60 + static_cast<long>(random() % 600) - (i % 7 == 3 ? 3600 : 0);
    const char* who = i % 3 == 0 ? "Ann Author <ann@example.com>" : "Bob Builder <bob@Example.org>";
    std::string message = "Commit " + std::to_string(i) + (i % 11 == 0 ? " fixes the NeeDLE bug" : "") + "\n\nBody line\n";
    std::string file = "f" + std::to_string(random() % 5) + ".txt";
    if (i % 17 == 0) file = "dir/needle" + std::to_string(i) + ".txt";
    std::string content = "value " + std::to_string(i) + "\n" + (i % 13 == 0 ? "a nEEdle inside\n" : "plain\n");
    out += "commit " + ref + "\nmark :" + std::to_string(mark) + "\nauthor " + who + " " + std::to_string(date) +
           " +0100\ncommitter " + who + " " + std::to_string(date + 5) + " -0230\ndata " +
           std::to_string(message.size()) + "\n" + message;
    if (from) out += "from :" + std::to_string(from) + "\n";
    if (merge) out += "merge :" + std::to_string(merge) + "\n";
    out += "M 100644 inline " + file + "\ndata " + std::to_string(content.size()) + "\n" + content + "\n";
    return mark;
  };
  for (int i = 0; i < count;) {
    int tip = mainLine.empty() ? 0 : mainLine.back();
    if (i % 6 == 5 && mainLine.size() > 4) {
      int side = commit("refs/heads/side", mainLine[mainLine.size() - 4], 0, i++);
      side = commit("refs/heads/side", side, 0, i++);
      mainLine.push_back(commit("refs/heads/main", tip, side, i++));
    } else {
      mainLine.push_back(commit("refs/heads/main", tip, 0, i++));
    }
  }
  return out;
}

void importHistory(const GitDir& repo, int count, unsigned seed = 7) {
  repo.write(".stream", historyStream(count, seed));
  runScript("git fast-import --quiet < .stream && rm .stream && git reset -q --hard main", repo.path());
}

struct PageRecorder : GitLogWalkerDelegate {
  std::vector<std::pair<size_t, size_t>> ranges;
  void logWalkerDidAppendEntries(GitLogWalker&, const std::vector<GitLogEntry>& entries,
                                 std::pair<size_t, size_t> range) override {
    EXPECT_EQ(entries.size(), range.second - range.first);
    ranges.push_back(range);
  }
};

std::vector<std::string> ids(const std::vector<GitLogEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.id.string());
  return out;
}

// Runs pages until the walk ends.
std::vector<GitLogEntry> walkAll(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<GitLogWalker>& walker,
                                 size_t pageSize) {
  while (!walker->invalidated()) runOn(queue, makeOperation<GitLogWalkerOperation>(walker, pageSize));
  return walker->entries();
}

GitLogDescriptor refsDescriptor(std::vector<std::string> names, std::optional<GitQuery> query = std::nullopt) {
  GitLogDescriptor d;
  for (auto& name : names) d.refs.push_back(GitRef::named(name));
  d.query = std::move(query);
  return d;
}

class HistoryWalk : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    repo_ = new ScratchRepo();
    importHistory(*repo_, 1300);
    // An upstream for main that went its own way.
    repo_->git({"update-ref", "refs/remotes/origin/main", repo_->rev("main~40")});
    runScript("git commit-tree -p origin/main -m remote 'main~40^{tree}' > .id && "
              "git update-ref refs/remotes/origin/main $(cat .id) && rm .id",
              repo_->path());
    repo_->git({"remote", "add", "origin", "https://example.invalid/repo.git"});
    repo_->git({"config", "branch.main.remote", "origin"});
    repo_->git({"config", "branch.main.merge", "refs/heads/main"});
    repo_->git({"tag", "-a", "-m", "tagged", "v1", "main~300"});
  }
  static void TearDownTestSuite() { delete repo_; }
  static ScratchRepo* repo_;
};
ScratchRepo* HistoryWalk::repo_ = nullptr;

// Without a commit-graph git sorts the whole history; with one (a single
// file or a chain of layers) the walker reads the first rows from it and
// git's stream takes over later; the order is git's throughout.
class HistoryWalkOrder : public HistoryWalk, public ::testing::WithParamInterface<const char*> {};

TEST_P(HistoryWalkOrder, RowsComeInGitsOrderForBranchesNamedRefsAndDetachedHead) {
  if (*GetParam()) runScript(GetParam(), repo_->path());
  struct RemoveGraph {
    const ScratchRepo& repo;
    ~RemoveGraph() { runScript("rm -rf .git/objects/info/commit-graph .git/objects/info/commit-graphs", repo.path()); }
  } removeGraph{*repo_};
  auto queue = readerQueue(*repo_);
  struct Case {
    GitLogDescriptor descriptor;
    std::vector<std::string> revisions;
  };
  std::vector<Case> cases = {
      {refsDescriptor({}), {"main", "origin/main"}},
      {refsDescriptor({"refs/heads/main"}), {"main", "origin/main"}},
      {refsDescriptor({"refs/heads/side", "refs/tags/v1"}), {"side", "v1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.revisions.front());
    auto walker = GitLogWalker::make(c.descriptor);
    runOn(queue, makeOperation<GitLogWalkerOperation>(walker, 500));
    std::vector<std::string> args{"rev-list", "--topo-order", "--date-order"};
    args.insert(args.end(), c.revisions.begin(), c.revisions.end());
    auto expected = split(repo_->git(args), '\n');
    auto firstPage = ids(walker->entries());
    ASSERT_EQ(firstPage.size(), std::min<size_t>(500, expected.size()));
    ASSERT_GT(expected.size(), 1000u); // the stream takes over from the graph
    EXPECT_TRUE(std::equal(firstPage.begin(), firstPage.end(), expected.begin()));
    EXPECT_EQ(ids(walkAll(queue, walker, 500)), expected);
  }

  repo_->git({"checkout", "-q", "--detach", "main~25"});
  auto walker = GitLogWalker::make(refsDescriptor({}));
  auto rows = walkAll(queue, walker, 200);
  repo_->git({"checkout", "-q", "main"});
  EXPECT_EQ(ids(rows), split(repo_->git({"rev-list", "--topo-order", "--date-order", "main~25"}), '\n'));
  ASSERT_FALSE(rows.empty());
  EXPECT_TRUE(rows.front().isHeadCommit);
  EXPECT_FALSE(rows.back().isHeadCommit);
}

INSTANTIATE_TEST_SUITE_P(CommitGraph, HistoryWalkOrder,
                         ::testing::Values("", "git commit-graph write --reachable",
                                           "git commit-graph write --reachable --split && "
                                           "git commit-tree -m layer 'main^{tree}' > .id && "
                                           "git update-ref refs/heads/layer $(cat .id) && rm .id && "
                                           "git commit-graph write --reachable --split=no-merge && "
                                           "git update-ref -d refs/heads/layer"));

TEST_F(HistoryWalk, RowsCarryTheCommitAsGitRecordsIt) {
  auto queue = readerQueue(*repo_);
  auto walker = GitLogWalker::make(refsDescriptor({"refs/heads/side"}));
  runOn(queue, makeOperation<GitLogWalkerOperation>(walker, 3));
  auto rows = walker->entries();
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) {
    auto fields = split(repo_->git({"show", "-s", "--format=%T%x00%P%x00%an%x00%ae%x00%at%x00%ci%x00%B", row.id.string()}),
                        '\0');
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(row.tree.string(), fields[0]);
    std::string parents;
    for (const auto& p : row.parents) parents += (parents.empty() ? "" : " ") + p.string();
    EXPECT_EQ(parents, fields[1]);
    EXPECT_EQ(row.author.name, fields[2]);
    EXPECT_EQ(row.author.email, fields[3]);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(row.author.timestamp.date), std::stol(fields[4]));
    EXPECT_EQ(row.author.timestamp.offset, 3600);
    EXPECT_EQ(row.committer.timestamp.offset, -(2 * 3600 + 30 * 60));
    EXPECT_EQ(row.message + "\n", fields[6]); // show adds a newline after %B
    EXPECT_EQ(*row.descriptor, walker->descriptor());
  }
}

// Every lane leads somewhere later, every commit but a tip is reached, and a
// lane keeps its colour from one row to the next.
TEST_F(HistoryWalk, LanesLeadToLaterCommitsAndKeepTheirColours) {
  auto queue = readerQueue(*repo_);
  auto rows = walkAll(queue, GitLogWalker::make(refsDescriptor({"refs/heads/main", "refs/heads/side"})), 300);
  std::map<Oid, size_t> position;
  for (size_t i = 0; i < rows.size(); ++i) position[rows[i].id] = i;
  std::set<Oid> children;
  for (const auto& row : rows) children.insert(row.parents.begin(), row.parents.end());
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_TRUE(rows[i].graphLaneRow);
    const auto& row = *rows[i].graphLaneRow;
    for (const auto& lane : row.lanesOut) {
      ASSERT_TRUE(lane.parentId);
      ASSERT_TRUE(position.count(*lane.parentId));
      EXPECT_GT(position[*lane.parentId], i);
    }
    bool reached = std::any_of(row.lanesIn.begin(), row.lanesIn.end(),
                               [](const GraphLane& lane) { return !lane.parentId; });
    EXPECT_EQ(reached, children.count(rows[i].id) > 0) << i;
    if (i + 1 < rows.size()) {
      const auto& next = *rows[i + 1].graphLaneRow;
      ASSERT_EQ(next.lanesIn.size(), row.lanesOut.size());
      for (size_t l = 0; l < row.lanesOut.size(); ++l) {
        EXPECT_EQ(next.lanesIn[l].from, row.lanesOut[l].to);
        EXPECT_EQ(next.lanesIn[l].color, row.lanesOut[l].color);
      }
    }
  }
}

TEST_F(HistoryWalk, PagesEndAndAnInvalidatedWalkerDeliversNothingMore) {
  auto queue = readerQueue(*repo_);
  auto walker = GitLogWalker::make(refsDescriptor({}));
  auto recorder = std::make_shared<PageRecorder>();
  walker->setDelegate(recorder);
  size_t total = std::stoul(repo_->git({"rev-list", "--count", "main", "origin/main"}));
  size_t runs = 0;
  while (!walker->invalidated()) {
    runOn(queue, makeOperation<GitLogWalkerOperation>(walker, 300));
    ++runs;
  }
  EXPECT_EQ(runs, (total + 299) / 300);
  ASSERT_EQ(recorder->ranges.size(), runs);
  EXPECT_EQ(recorder->ranges.back(), std::make_pair(300 * (runs - 1), total));
  runOn(queue, makeOperation<GitLogWalkerOperation>(walker, 300));
  EXPECT_EQ(recorder->ranges.size(), runs);

  auto fresh = GitLogWalker::make(refsDescriptor({}));
  fresh->setDelegate(recorder);
  runOn(queue, makeOperation<GitLogWalkerOperation>(fresh, 10));
  fresh->invalidate();
  runOn(queue, makeOperation<GitLogWalkerOperation>(fresh, 10));
  EXPECT_EQ(fresh->entryCount(), 10u);
  EXPECT_EQ(recorder->ranges.size(), runs + 1);

  // A reference that does not exist ends the walk without rows.
  auto missing = GitLogWalker::make(refsDescriptor({"refs/heads/nope", "refs/heads/main"}));
  runOn(queue, makeOperation<GitLogWalkerOperation>(missing, 10));
  EXPECT_EQ(missing->entryCount(), 0u);
  EXPECT_TRUE(missing->invalidated());

  // A name git would take for an option never reaches it.
  auto optionLike = GitLogWalker::make(refsDescriptor({"--output=" + (repo_->path() / "written").string()}));
  runOn(queue, makeOperation<GitLogWalkerOperation>(optionLike, 10));
  EXPECT_EQ(optionLike->entryCount(), 0u);
  EXPECT_FALSE(std::filesystem::exists(repo_->path() / "written"));
}

std::set<std::string> lines(const std::string& text) {
  auto pieces = split(text, '\n');
  std::set<std::string> out;
  for (auto& p : pieces)
    if (!p.empty()) out.insert(p);
  return out;
}

std::vector<GitLogEntry> search(const ScratchRepo& repo, const std::string& text, GitQuerySubject subject) {
  auto queue = readerQueue(repo);
  auto walker = GitLogWalker::make(refsDescriptor({"refs/heads/main"}, GitQuery{text, subject}));
  auto recorder = std::make_shared<PageRecorder>();
  walker->setDelegate(recorder);
  auto rows = walkAll(queue, walker, 50);
  for (const auto& range : recorder->ranges) EXPECT_EQ(range.second - range.first, 1u);
  for (const auto& row : rows) EXPECT_FALSE(row.graphLaneRow);
  return rows;
}

TEST_F(HistoryWalk, SearchFindsWhatGitFinds) {
  auto idsOf = [](const std::vector<GitLogEntry>& rows, bool withoutMerges = false) {
    std::set<std::string> out;
    for (const auto& row : rows)
      if (!withoutMerges || row.parents.size() < 2) out.insert(row.id.string());
    return out;
  };
  const std::string main = "main";
  auto message = search(*repo_, "needle", GitQuerySubject::message);
  EXPECT_EQ(idsOf(message), lines(repo_->git({"log", "-i", "-F", "--grep=needle", "--format=%H", main})));
  ASSERT_FALSE(message.empty());
  EXPECT_TRUE(message.front().queryMatch->message);

  auto content = search(*repo_, "NEEDLE", GitQuerySubject::diff);
  EXPECT_EQ(idsOf(content, true), lines(repo_->git({"log", "-i", "-GNEEDLE", "--no-merges", "--format=%H", main})));
  ASSERT_FALSE(content.empty());
  EXPECT_FALSE(content.front().queryMatch->content.empty());

  auto author = search(*repo_, "or<ann@", GitQuerySubject::author);
  EXPECT_EQ(idsOf(author), lines(repo_->git({"log", "--author=Ann Author <ann@", "--format=%H", main})));
  auto committer = search(*repo_, "EXAMPLE.ORG", GitQuerySubject::committer);
  EXPECT_EQ(idsOf(committer), lines(repo_->git({"log", "-i", "--committer=example\\.org", "--format=%H", main})));

  std::string prefix = repo_->rev("main~5").substr(0, 5);
  std::set<std::string> withPrefix;
  for (const auto& id : lines(repo_->git({"rev-list", main})))
    if (id.starts_with(prefix)) withPrefix.insert(id);
  EXPECT_EQ(idsOf(search(*repo_, prefix, GitQuerySubject::hash)), withPrefix);
  EXPECT_TRUE(search(*repo_, repo_->rev("main~5").substr(3, 6), GitQuerySubject::hash).empty());

  auto files = search(*repo_, "NEEDLE", GitQuerySubject::filename);
  std::set<std::string> expected;
  std::string current;
  for (const auto& line : split(repo_->git({"log", "--no-merges", "--format=@%H", "--name-only", main}), '\n')) {
    if (line.starts_with("@")) current = line.substr(1);
    else if (line.find("needle") != std::string::npos) expected.insert(current);
  }
  EXPECT_EQ(idsOf(files, true), expected);
  EXPECT_TRUE(search(*repo_, "needle", GitQuerySubject()).empty());
}

// The user's configuration may change how git prints, never the rows.
TEST_F(HistoryWalk, RowsAndMatchesIgnoreTheUsersConfiguration) {
  const auto config = (repo_->path() / ".git/hostile").string();
  for (const char* setting :
       {"log.showSignature=true", "color.ui=always", "log.date=relative", "i18n.logOutputEncoding=ISO-8859-1",
        "diff.renames=false", "diff.noprefix=true", "diff.relative=true", "core.abbrev=7", "format.pretty=oneline",
        "log.mailmap=true", "diff.renameLimit=1", "diff.ignoreSubmodules=all", "log.showRoot=false",
        "diff.external=/bin/false", "log.abbrevCommit=true"}) {
    std::string s = setting;
    repo_->git({"config", "-f", config, s.substr(0, s.find('=')), s.substr(s.find('=') + 1)});
  }
  auto walk = [&] {
    auto queue = readerQueue(*repo_);
    auto rows = walkAll(queue, GitLogWalker::make(refsDescriptor({"refs/heads/side"})), 100);
    auto found = walkAll(queue, GitLogWalker::make(refsDescriptor({"refs/heads/main"}, GitQuery{"needle", GitQuerySubject{GitQuerySubject::diff, GitQuerySubject::filename}})), 50);
    rows.insert(rows.end(), found.begin(), found.end());
    return rows;
  };
  auto plain = walk();
  setenv("GIT_CONFIG_GLOBAL", config.c_str(), 1);
  auto hostile = walk();
  setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  ASSERT_GT(plain.size(), 100u);
  EXPECT_EQ(hostile, plain);
}

// Commits made within one second tie on date; octopus merges keep their
// extra parents in the graph's edge list. The graph walk must still give
// git's order.
TEST(HistoryWalkFromCommitGraph, TiesAndOctopusMergesComeInGitsOrder) {
  ScratchRepo repo;
  runScript("for i in 1 2 3 4; do git commit -q --allow-empty -m c$i; done\n"
            "git checkout -q -b a HEAD~2 && git commit -q --allow-empty -m a\n"
            "git checkout -q -b b HEAD~1 && git commit -q --allow-empty -m b\n"
            "git checkout -q -b c main~3 && git commit -q --allow-empty -m c\n"
            "git checkout -q main && git merge -q --no-edit a b c\n"
            "git checkout -q -b d main~2 && git commit -q --allow-empty -m d && git checkout -q main\n"
            "git commit-graph write --reachable",
            repo.path());
  auto queue = readerQueue(repo);
  auto rows = walkAll(queue, GitLogWalker::make(refsDescriptor({"refs/heads/main", "refs/heads/d", "refs/heads/a"})), 3);
  EXPECT_EQ(ids(rows), split(repo.git({"rev-list", "--topo-order", "--date-order", "main", "d", "a"}), '\n'));
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front().parents.size(), 4u);
}

TEST(HistoryWalkReflogAndStash, ReflogAndStashRowsFollowTheirLists) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "1\n", "one");
  repo.commitFile("a.txt", "2\n", "two");
  repo.git({"checkout", "-q", "-b", "topic"});
  repo.commitFile("a.txt", "3\n", "three");
  repo.git({"checkout", "-q", "main"});
  auto queue = readerQueue(repo);

  GitLogDescriptor reflog;
  reflog.type = GitLogType::reflog;
  reflog.reflogName = "refs/heads/topic";
  EXPECT_EQ(ids(walkAll(queue, GitLogWalker::make(reflog), 10)),
            split(repo.git({"reflog", "show", "--format=%H", "refs/heads/topic"}), '\n'));
  reflog.reflogName.reset();
  EXPECT_EQ(ids(walkAll(queue, GitLogWalker::make(reflog), 2)),
            split(repo.git({"reflog", "show", "--format=%H", "HEAD"}), '\n'));

  // The view holds a stale list of one stash; the walk reads git's three.
  GitStashEntry stale;
  stale.oid = Oid::parse(repo.rev("HEAD")).value();
  detail::GitQueueInternals::updateView(*queue, [&](GitView& view) { view.stashList.entries = {stale}; });
  for (int i = 0; i < 3; ++i) {
    repo.write("a.txt", std::to_string(i) + " changed\n");
    repo.git({"stash", "-q"});
  }
  GitLogDescriptor stashes;
  stashes.type = GitLogType::stash;
  auto rows = walkAll(queue, GitLogWalker::make(stashes), 2);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(ids(rows), split(repo.git({"stash", "list", "--format=%H"}), '\n'));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rows[i].stashEntry->stashRefname(), "stash@{" + std::to_string(i) + "}");
}

TEST(GitCommitStream, MalformedRecordsAreRefused) {
  const std::string id(40, 'a');
  std::string good = id + '\0' + id + '\0' + id + ' ' + id + '\0' + "N" + '\0' + "e" + '\0' + "1 +0130" + '\0' + "C" +
                     '\0' + "c" + '\0' + "2 -0000" + '\0' + "message\n";
  auto commit = detail::GitCommitStream::parseRecord(good);
  ASSERT_TRUE(commit);
  EXPECT_EQ(commit->parentIds.size(), 2u);
  EXPECT_EQ(commit->author.offsetMinutes, 90);
  for (std::string bad : {good.substr(0, good.rfind('\0')), std::string(good).replace(0, 1, "x"),
                          std::string(good).replace(good.find("1 +0130"), 7, "1 +01:0")}) {
    EXPECT_FALSE(detail::GitCommitStream::parseRecord(bad));
  }
}

} // namespace

// A blob cut short used to make the search spin or skip the commit as "no
// match"; the search now fails with the object's error and ends its walk.
TEST(HistorySearch, ACorruptObjectFailsTheSearch) {
  ScratchRepo repo;
  repo.commitFile("a.txt", "plain\n", "first");
  std::string content;
  for (int i = 0; i < 2000; ++i) content += "line " + std::to_string(i * 7919 % 10007) + " needle\n";
  repo.commitFile("b.txt", content, "second");
  repo.commitFile("a.txt", "plain\nmore\n", "third");
  const std::string blob = repo.rev("HEAD:b.txt");
  const auto path = repo.path() / ".git" / "objects" / blob.substr(0, 2) / blob.substr(2);
  std::string bytes = readFile(path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() - 8);

  auto queue = readerQueue(repo);
  std::string branch = repo.git({"symbolic-ref", "HEAD"});
  branch.erase(branch.find_last_not_of('\n') + 1);
  auto walker = GitLogWalker::make(refsDescriptor({branch}, GitQuery{"needle", GitQuerySubject::diff}));
  EXPECT_THROW(runOn(queue, makeOperation<GitLogWalkerOperation>(walker, 50)), Error);
  EXPECT_TRUE(walker->invalidated());
}
