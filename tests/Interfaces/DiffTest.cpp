#include "ArborTestHelpers.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Diff.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Interfaces/Tree.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <unordered_set>

using arbor::DeltaStatus;
using arbor::Diff;
using arbor::DiffCallbacks;
using arbor::DiffDelta;
using arbor::DiffLine;
using arbor::DiffLineKind;
using arbor::Repo;
using arbor::Tree;
using namespace arbor::testing;
using tavrik::testing::ScratchRepo;

namespace {

std::string numberedLines(int count, int changed = -1) {
  std::string out;
  for (int i = 1; i <= count; ++i) out += (i == changed ? "changed line " : "line number ") + std::to_string(i) + "\n";
  return out;
}

struct Recorded {
  std::vector<DiffDelta> files;
  std::vector<std::tuple<std::string, DiffLineKind, std::string>> lines; // path, kind, text
};

Recorded record(const Diff& diff) {
  Recorded r;
  DiffCallbacks callbacks;
  callbacks.file = [&](const DiffDelta& d) {
    r.files.push_back(d);
    return true;
  };
  callbacks.line = [&](const DiffDelta& d, const DiffLine& line) {
    r.lines.emplace_back(d.newPath, line.kind, std::string(line.content));
    return true;
  };
  EXPECT_TRUE(diff.walk(callbacks));
  return r;
}

struct RenameRepo {
  ScratchRepo scratch;
  arbor::Oid before, after;
  RenameRepo() {
    scratch.write("keep.txt", "unchanged\n");
    scratch.git({"add", "keep.txt"});
    before = oidOf(scratch.commitFile("old/name.txt", numberedLines(20), "add"));
    scratch.git({"mv", "old/name.txt", "new-name.txt"});
    after = oidOf(scratch.commitFile("new-name.txt", numberedLines(20, 7), "move and edit"));
  }
};

} // namespace

TEST(Diff, FindSimilarTurnsMoveWithSmallEditIntoRename) {
  RenameRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  Tree oldTree = Tree::lookup(arbor::Commit::lookup(r.before, repo).treeId, repo);
  Tree newTree = Tree::lookup(arbor::Commit::lookup(r.after, repo).treeId, repo);
  EXPECT_EQ(newTree.id(), oidOf(r.scratch.git({"rev-parse", "HEAD^{tree}"})));
  EXPECT_EQ(newTree.entryCount(), 2u);

  Diff diff = Diff::treeToTree(&oldTree, newTree, repo, {.contextLines = 0, .maxSize = 25000000});
  auto raw = diff.deltas();
  ASSERT_EQ(raw.size(), 2u);
  std::multiset<DeltaStatus> statuses{raw[0].status, raw[1].status};
  EXPECT_EQ(statuses, (std::multiset<DeltaStatus>{DeltaStatus::added, DeltaStatus::deleted}));

  diff.findSimilar(100);
  ASSERT_EQ(diff.deltaCount(), 1u);
  DiffDelta renamed = diff.deltas()[0];
  EXPECT_EQ(renamed.status, DeltaStatus::renamed);
  EXPECT_EQ(renamed.oldPath, "old/name.txt");
  EXPECT_EQ(renamed.newPath, "new-name.txt");
  EXPECT_GE(renamed.similarity, 50);
  EXPECT_LT(renamed.similarity, 100);
  // git itself sees the same rename.
  EXPECT_EQ(chomp(r.scratch.git({"diff", "-M", "--name-status", "HEAD^", "HEAD"})).substr(0, 1), "R");

  Recorded rec = record(diff);
  ASSERT_EQ(rec.files.size(), 1u);
  EXPECT_EQ(rec.files[0], renamed);
  // Without context lines only the edited line shows, as one deletion and one addition.
  std::vector<std::tuple<std::string, DiffLineKind, std::string>> changed;
  for (auto& l : rec.lines)
    if (std::get<1>(l) == DiffLineKind::addition || std::get<1>(l) == DiffLineKind::deletion) changed.push_back(l);
  ASSERT_EQ(changed.size(), 2u);
  EXPECT_EQ(changed[0], std::make_tuple(std::string("new-name.txt"), DiffLineKind::deletion, std::string("line number 7\n")));
  EXPECT_EQ(changed[1], std::make_tuple(std::string("new-name.txt"), DiffLineKind::addition, std::string("changed line 7\n")));
  for (auto& l : rec.lines) EXPECT_NE(std::get<1>(l), DiffLineKind::context);
}

TEST(Diff, ContextLinesAreReportedWhenAsked) {
  RenameRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  Tree oldTree = Tree::lookup(arbor::Commit::lookup(r.before, repo).treeId, repo);
  Tree newTree = Tree::lookup(arbor::Commit::lookup(r.after, repo).treeId, repo);
  Diff diff = Diff::treeToTree(&oldTree, newTree, repo, {.contextLines = 2, .maxSize = 25000000});
  diff.findSimilar(100);
  Recorded rec = record(diff);
  std::vector<std::string> context;
  for (auto& l : rec.lines)
    if (std::get<1>(l) == DiffLineKind::context) context.push_back(std::get<2>(l));
  EXPECT_EQ(context, (std::vector<std::string>{"line number 5\n", "line number 6\n", "line number 8\n",
                                               "line number 9\n"}));
}

TEST(Diff, RootCommitAgainstEmptyOldTreeAddsEveryFile) {
  ScratchRepo scratch;
  scratch.write("a.txt", "alpha\nbeta\n");
  scratch.git({"add", "a.txt"});
  auto root = oidOf(scratch.commitFile("dir/b.txt", "gamma\n", "root"));
  Repo repo = Repo::openAtPath(scratch.path().string());
  Tree tree = Tree::lookup(arbor::Commit::lookup(root, repo).treeId, repo);

  Diff diff = Diff::treeToTree(std::optional<Tree>(), tree, repo, {.contextLines = 0, .maxSize = 25000000});
  diff.findSimilar(100);
  Recorded rec = record(diff);
  ASSERT_EQ(rec.files.size(), 2u);
  for (auto& f : rec.files) {
    EXPECT_EQ(f.status, DeltaStatus::added);
    EXPECT_TRUE(f.oldId.isZero());
    EXPECT_EQ(f.oldPath, f.newPath);
  }
  EXPECT_EQ(rec.files[0].newPath, "a.txt");
  EXPECT_EQ(rec.files[1].newPath, "dir/b.txt");
  std::vector<std::tuple<std::string, DiffLineKind, std::string>> additions;
  for (auto& l : rec.lines)
    if (std::get<1>(l) == DiffLineKind::addition) additions.push_back(l);
  EXPECT_EQ(additions, (std::vector<std::tuple<std::string, DiffLineKind, std::string>>{
                           {"a.txt", DiffLineKind::addition, "alpha\n"},
                           {"a.txt", DiffLineKind::addition, "beta\n"},
                           {"dir/b.txt", DiffLineKind::addition, "gamma\n"}}));
}

TEST(Diff, EitherCallbackMayBeMissing) {
  RenameRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  Tree newTree = Tree::lookup(arbor::Commit::lookup(r.after, repo).treeId, repo);
  Diff diff = Diff::treeToTree(nullptr, newTree, repo);

  int lineCount = 0;
  EXPECT_TRUE(diff.walk({.file = nullptr, .line = [&](const DiffDelta&, const DiffLine& l) {
                           lineCount += l.kind == DiffLineKind::addition;
                           return true;
                         }}));
  EXPECT_EQ(lineCount, 21); // 20 lines in the moved file, one in keep.txt

  int fileCount = 0;
  EXPECT_TRUE(diff.walk({.file = [&](const DiffDelta&) { return ++fileCount, true; }, .line = nullptr}));
  EXPECT_EQ(fileCount, 2);
  EXPECT_TRUE(diff.walk({}));
}

TEST(Diff, CallbackCanStopTheWalkOrThrow) {
  RenameRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  Tree newTree = Tree::lookup(arbor::Commit::lookup(r.after, repo).treeId, repo);
  Diff diff = Diff::treeToTree(nullptr, newTree, repo);

  int files = 0;
  EXPECT_FALSE(diff.walk({.file = [&](const DiffDelta&) { return ++files, false; }, .line = nullptr}));
  EXPECT_EQ(files, 1);

  int lines = 0;
  EXPECT_THROW(diff.walk({.file = nullptr,
                          .line = [&](const DiffDelta&, const DiffLine&) -> bool {
                            if (++lines == 3) throw std::runtime_error("stop here");
                            return true;
                          }}),
               std::runtime_error);
  EXPECT_EQ(lines, 3);
  // The diff is still usable afterwards.
  EXPECT_TRUE(diff.walk({}));
}

TEST(Diff, FilesAboveMaxSizeHaveNoLines) {
  ScratchRepo scratch;
  scratch.write("small.txt", "x\n");
  scratch.git({"add", "small.txt"});
  auto root = oidOf(scratch.commitFile("big.txt", numberedLines(100), "root"));
  Repo repo = Repo::openAtPath(scratch.path().string());
  Tree tree = Tree::lookup(arbor::Commit::lookup(root, repo).treeId, repo);
  Diff diff = Diff::treeToTree(nullptr, tree, repo, {.contextLines = 0, .maxSize = 100});
  Recorded rec = record(diff);
  for (auto& l : rec.lines) {
    if (std::get<1>(l) == DiffLineKind::addition) {
      EXPECT_EQ(std::get<0>(l), "small.txt");
    }
  }
  ASSERT_EQ(rec.files.size(), 2u);
}

TEST(Diff, DeltaHashAgreesWithEquality) {
  RenameRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  Tree newTree = Tree::lookup(arbor::Commit::lookup(r.after, repo).treeId, repo);
  auto first = Diff::treeToTree(nullptr, newTree, repo).deltas();
  auto second = Diff::treeToTree(nullptr, newTree, repo).deltas();
  ASSERT_EQ(first, second);
  std::unordered_set<DiffDelta> set(first.begin(), first.end());
  set.insert(second.begin(), second.end());
  EXPECT_EQ(set.size(), first.size());
  EXPECT_EQ(std::hash<DiffDelta>{}(first[0]), std::hash<DiffDelta>{}(second[0]));
}

TEST(Tree, LookupFailsForCommitIdsAndMissingObjects) {
  RenameRepo r;
  Repo repo = Repo::openAtPath(r.scratch.path().string());
  EXPECT_THROW(Tree::lookup(r.after, repo), arbor::Error);
  EXPECT_THROW(Tree::lookup(arbor::Oid::zero, repo), arbor::Error);
}
