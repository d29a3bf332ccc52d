#include "ArborSupport.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Diff.h"
#include "tavrik/Interfaces/Tree.h"

#include <unordered_set>

using namespace arbor;
using namespace arbor::testing;

namespace {

Tree treeOf(const std::string& revision, const Repo& repo) {
  return Tree::lookup(Commit::lookup(oidOf(work().rev(revision)), repo).treeId, repo);
}

// "status path" (and "<old" for a rename) of each file, then "+line"/"-line"/" line".
std::vector<std::string> record(const Diff& diff) {
  std::vector<std::string> out;
  EXPECT_TRUE(diff.walk({.file =
                             [&](const DiffDelta& d) {
                               const char* s = d.status == DeltaStatus::added     ? "A"
                                               : d.status == DeltaStatus::deleted ? "D"
                                               : d.status == DeltaStatus::renamed ? "R"
                                                                                  : "M";
                               out.push_back(s + (" " + d.newPath) + (d.oldPath != d.newPath ? "<" + d.oldPath : ""));
                               return true;
                             },
                         .line =
                             [&](const DiffDelta&, const DiffLine& l) {
                               char kind = l.kind == DiffLineKind::addition   ? '+'
                                           : l.kind == DiffLineKind::deletion ? '-'
                                           : l.kind == DiffLineKind::context  ? ' '
                                                                              : '?';
                               out.push_back(kind + std::string(l.content));
                               return true;
                             }}));
  return out;
}

} // namespace

// The scenario's move of old/name.txt with line 7 edited: two deltas, one
// rename once similarity is looked for, with the lines git shows.
TEST(Diff, FindSimilarTurnsMoveWithSmallEditIntoRename) {
  Repo repo = openWork();
  const std::string moved = work().rev(":/move and edit");
  Tree before = treeOf(moved + "^", repo), after = treeOf(moved, repo);
  Diff diff = Diff::treeToTree(&before, after, repo, {.contextLines = 0, .maxSize = 25000000});
  EXPECT_EQ(diff.deltaCount(), 2u);
  diff.findSimilar(100);
  ASSERT_EQ(diff.deltaCount(), 1u);
  EXPECT_GE(diff.deltas()[0].similarity, 50);
  EXPECT_LT(diff.deltas()[0].similarity, 100);
  EXPECT_EQ(record(diff), (std::vector<std::string>{"R new-name.txt<old/name.txt", "-line 7\n", "+changed line 7\n"}));
  Diff context = Diff::treeToTree(&before, after, repo, {.contextLines = 2, .maxSize = 25000000});
  context.findSimilar(100);
  EXPECT_EQ(record(context), (std::vector<std::string>{"R new-name.txt<old/name.txt", " line 5\n", " line 6\n", "-line 7\n",
                                                      "+changed line 7\n", " line 8\n", " line 9\n"}));
}

// A root tree against no tree adds every file, as git's root diff lists
// them; files above the size limit come without lines.
TEST(Diff, RootTreeAddsEveryFile) {
  Repo repo = openWork();
  auto rootId = lines(work().git({"rev-list", "--max-parents=0", "HEAD", "--"})).at(0);
  Tree tree = treeOf(rootId, repo);
  Diff diff = Diff::treeToTree(std::optional<Tree>(), tree, repo, {.contextLines = 0, .maxSize = 60});
  std::vector<std::string> files, lines;
  for (const auto& entry : record(diff)) (entry[0] == 'A' ? files : lines).push_back(entry);
  std::vector<std::string> expected;
  auto listed = work().git({"diff-tree", "--root", "-r", "-z", "--name-only", "--no-commit-id", rootId});
  for (size_t at = 0, end; (end = listed.find('\0', at)) != std::string::npos; at = end + 1)
    expected.push_back("A " + listed.substr(at, end - at));
  EXPECT_EQ(files, expected);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "+line 1\n"), 0); // old/name.txt is above the limit
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "+base\n"), 1);
}

TEST(Diff, CallbacksMayBeMissingStopTheWalkOrThrow) {
  Repo repo = openWork();
  Diff diff = Diff::treeToTree(nullptr, treeOf(":/move and edit", repo), repo);
  int files = 0, lines = 0;
  EXPECT_TRUE(diff.walk({.file = [&](const DiffDelta&) { return ++files, true; }, .line = nullptr}));
  EXPECT_TRUE(diff.walk({.file = nullptr, .line = [&](const DiffDelta&, const DiffLine&) { return ++lines, true; }}));
  EXPECT_EQ(size_t(files), diff.deltaCount());
  EXPECT_GT(lines, 20);
  EXPECT_TRUE(diff.walk({}));
  files = 0;
  EXPECT_FALSE(diff.walk({.file = [&](const DiffDelta&) { return ++files, false; }, .line = nullptr}));
  EXPECT_EQ(files, 1);
  lines = 0;
  EXPECT_THROW(diff.walk({.file = nullptr, .line = [&](const DiffDelta&, const DiffLine&) -> bool {
                            if (++lines == 3) throw std::runtime_error("stop here");
                            return true;
                          }}),
               std::runtime_error);
  EXPECT_EQ(lines, 3);
  EXPECT_TRUE(diff.walk({})); // still usable
  auto deltas = diff.deltas();
  std::unordered_set<DiffDelta> set(deltas.begin(), deltas.end());
  EXPECT_EQ(set.size(), deltas.size());
  EXPECT_THROW(Tree::lookup(oidOf(work().rev("HEAD")), repo), Error); // a commit is no tree
}

namespace {

// The changes between two trees agree with git's own recursive tree diff,
// with names that sort differently as files and as folders ("a", "a.b",
// "a/") and a path that turns from file into folder.
TEST(TreeChanges, AgreeWithGitDiffTree) {
  tavrik::testing::ScratchRepo repo;
  repo.write("a.b", "1\n");
  repo.write("a/x", "1\n");
  repo.write("a-", "1\n");
  repo.write("keep/deep/file", "same\n");
  repo.write("turn", "file\n");
  repo.write("gone/one", "1\n");
  repo.git({"add", "-A"});
  repo.git({"commit", "-q", "-m", "old"});
  repo.write("a.b", "2\n");
  repo.write("a/x", "2\n");
  repo.write("a/y", "new\n");
  repo.git({"rm", "-q", "-r", "turn", "gone"});
  repo.write("turn/inside", "now a folder\n");
  repo.write("b", "added\n");
  repo.git({"add", "-A"});
  repo.git({"commit", "-q", "-m", "new"});

  auto opened = Repo::openAtPath(repo.path().string());
  auto tree = [&](const char* rev) { return Tree::lookup(Commit::lookup(oidOf(repo.rev(rev)), opened).treeId, opened); };
  auto oldTree = tree("HEAD~1"), newTree = tree("HEAD");
  std::vector<std::string> ours;
  for (const auto& c : Tree::changes(&oldTree, newTree)) {
    const char* kind = c.kind == TreeChange::Kind::added ? "A" : c.kind == TreeChange::Kind::deleted ? "D" : "M";
    ours.push_back(std::string(kind) + "\t" + c.path);
  }
  EXPECT_EQ(ours, lines(repo.git({"diff-tree", "-r", "--no-renames", "--name-status", "HEAD~1", "HEAD"})));
  auto fromEmpty = Tree::changes(nullptr, oldTree);
  EXPECT_EQ(fromEmpty.size(), lines(repo.git({"ls-tree", "-r", "--name-only", "HEAD~1"})).size());
  EXPECT_TRUE(Tree::changes(&newTree, newTree).empty());
}

} // namespace
