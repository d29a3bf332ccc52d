#include "tavrik/Diff/GitDiff.h"

#include "Support/Helpers.h"

using namespace tavrik;
using namespace tavrik::testing;

namespace {

using T = GitDiffLineType;
std::vector<std::shared_ptr<GitDiff>> parsePatch(const std::string& text) {
  GitBuffer buffer(text);
  return GitDiff::parsePatch(buffer, false, false, false, std::nullopt);
}

std::string path(const std::optional<std::string>& p) { return p.value_or("<none>"); }

} // namespace

// Records read from patches as git prints them, and every byte kept.
TEST(GitDiffPatchParser, ReadsGitPatches) {
  const std::string unmerged = "* Unmerged path f\n"
                               "diff --git a/f b/f\nindex 0000000000000000000000000000000000000001..0000000000000000000000000000000000000002 100644\n"
                               "--- a/f\n+++ b/f\n@@ -1,2 +1,2 @@\n a\n--- x\n+b\n";
  auto diffs = parsePatch(unmerged);
  ASSERT_EQ(diffs.size(), 2u);
  EXPECT_EQ(diffs[0]->status, GitStatus::unmerged);
  EXPECT_EQ(path(diffs[0]->newFile.path), "f");
  const auto& d = *diffs[1];
  EXPECT_EQ(d.offset, 1u);
  EXPECT_EQ(d.oldFile.oid.string(), "0000000000000000000000000000000000000001");
  EXPECT_EQ(d.headerBegin, 0u);
  EXPECT_EQ(d.headerEnd, 4u);
  ASSERT_EQ(d.hunks.size(), 1u);
  EXPECT_EQ(d.hunks[0], (GitDiffHunk{4, 8, 1, 1}));
  const auto& inHunk = d.lines[6];
  EXPECT_EQ(inHunk.type, T::deletion) << "a '--- ' line inside a hunk is a deletion";
  EXPECT_EQ(inHunk.origin, '-');
  EXPECT_EQ(inHunk.string(), "-- x\n");
  EXPECT_EQ(inHunk.oldLineNumber, 2);
  EXPECT_EQ(inHunk.newLineNumber, std::nullopt);
  EXPECT_EQ(d.lines[7].newLineNumber, 2);
  EXPECT_EQ(GitDiffList(false, diffs).removingUnmerged().diffs.size(), 1u);
  EXPECT_EQ(diffs[0]->formatPatch() + d.formatPatch(), unmerged);

  auto added = parsePatch("diff --git a/dir/f b/dir/f\nnew file mode 100644\n--- /dev/null\n+++ b/dir/f\n"
                          "@@ -0,0 +1 @@\n+x\n\\ No newline at end of file\n");
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0]->status, GitStatus::added);
  EXPECT_EQ(added[0]->oldFile.path, std::nullopt);
  EXPECT_EQ(path(added[0]->newFile.path), "dir/f");
  EXPECT_EQ(added[0]->hunks[0].oldStart, 0);
  EXPECT_EQ(added[0]->lines[5].newLineNumber, 1);
  EXPECT_EQ(added[0]->lines[5].oldLineNumber, std::nullopt);
  EXPECT_EQ(added[0]->lines[6].type, T::noNewlineAtEOF);
  EXPECT_EQ(added[0]->lines[6].newLineNumber, std::nullopt);

  // Names git quotes, names with a space (git adds a TAB), a mode change,
  // and a rename without hunks that the next diff closes.
  auto named = parsePatch("diff --git \"a/caf\\303\\251\" \"b/caf\\303\\251\"\nold mode 100644\nnew mode 100755\n"
                          "diff --git a/x y b/x y\n--- a/x y\t\n+++ b/x y\t\n@@ -1 +1 @@\n-a\n+b\n"
                          "diff --git a/old b/n\"ew\nsimilarity index 97%\nrename from old\nrename to \"n\\\"ew\"\n");
  ASSERT_EQ(named.size(), 3u);
  EXPECT_EQ(path(named[0]->newFile.path), "caf\xc3\xa9");
  EXPECT_EQ(named[0]->status, GitStatus::modified) << "\"new mode\" is no new file";
  EXPECT_EQ(named[0]->headerEnd, 3u);
  EXPECT_EQ(path(named[1]->oldFile.path), "x y");
  EXPECT_EQ(path(named[1]->newFile.path), "x y");
  EXPECT_EQ(named[2]->status, GitStatus::renamed);
  EXPECT_EQ(named[2]->similarity, 97);
  EXPECT_EQ(path(named[2]->newFile.path), "n\"ew");
  EXPECT_EQ(named[2]->headerEnd, named[2]->lines.size());

  // Binary files name their paths only in the "diff --git" line.
  auto binary = parsePatch("diff --git a/p.png b/p.png\nindex 1111111111111111111111111111111111111111.."
                           "2222222222222222222222222222222222222222 100644\nBinary files a/p.png and b/p.png differ\n");
  ASSERT_EQ(binary.size(), 1u);
  EXPECT_EQ(binary[0]->binaryLine, 2u);
  EXPECT_EQ(path(binary[0]->oldFile.path), "p.png");
  EXPECT_EQ(binary[0]->newImageBlob().string(), "2222222222222222222222222222222222222222");
}

// A line that is not UTF-8 is kept as git printed it, with everything after it.
TEST(GitDiffPatchParser, KeepsBytesThatAreNotUTF8) {
  const std::string latin1 = "diff --git a/l.c b/l.c\n--- a/l.c\n+++ b/l.c\n@@ -1,2 +1,2 @@\n-caf\xe9\n+CAF\xc9\n x\r\n"
                             "diff --git \"a/\\351\" \"b/\\351\"\n--- \"a/\\351\"\n+++ \"b/\\351\"\n@@ -1 +1 @@\n-1\n+2";
  auto diffs = parsePatch(latin1);
  ASSERT_EQ(diffs.size(), 2u);
  EXPECT_EQ(diffs[0]->lines[4].string(), "caf\xe9\n");
  EXPECT_EQ(diffs[0]->lines[4].displayString(), "caf\xef\xbf\xbd\n");
  EXPECT_EQ(diffs[0]->lines[6].string(), "x\r\n");
  EXPECT_EQ(path(diffs[1]->newFile.path), "\xe9");
  EXPECT_EQ(diffs[0]->formatPatch() + diffs[1]->formatPatch(), latin1 + "\n") << "a cut-off last line gets its newline";
  EXPECT_EQ(diffs[1]->lines.back().string(), "2\n");
}

TEST(GitDiffRawParser, ReadsRecordsAndCounts) {
  const std::string z(40, '0');
  const std::string a(40, 'a'), b(40, 'b');
  std::string raw = ":100644 100644 " + a + " " + b + " R087" + std::string("\0old\0new\0", 9) +
                    ":100644 100644 " + a + " " + z + " M" + std::string("\0work\xff\0", 7) +
                    ":000000 100644 " + z + " " + b + " A" + std::string("\0pic.png\0", 9) +
                    ":100644 100644 " + a + " " + b + " Q" + std::string("\0skipped\0", 9) +
                    std::string("3\t1\t\0old\0new\0", 13) + std::string("2\t5\twork\xff\0", 10) +
                    std::string("-\t-\tpic.png\0", 12);
  GitBuffer buffer(raw);
  auto diffs = GitDiff::parseRaw(buffer, true, false, false, true, std::nullopt);
  ASSERT_EQ(diffs.size(), 3u) << "an unknown status letter is skipped";
  EXPECT_EQ(diffs[0]->status, GitStatus::renamed);
  EXPECT_EQ(diffs[0]->similarity, 87);
  EXPECT_EQ(path(diffs[0]->oldFile.path), "old");
  EXPECT_EQ(path(diffs[0]->newFile.path), "new");
  EXPECT_EQ(diffs[0]->stats, (GitDiffStats{3, 1}));
  EXPECT_EQ(path(diffs[1]->newFile.path), "work\xff") << "a name that is not UTF-8 is kept";
  EXPECT_EQ(diffs[1]->stats, (GitDiffStats{2, 5})) << "a working-tree file counts under its old id's path";
  EXPECT_EQ(diffs[2]->oldFile.path, std::nullopt);
  EXPECT_EQ(diffs[2]->stats, GitDiffStats{}) << "binary counts stay zero";
  EXPECT_EQ(diffs[2]->oldFile.mode, GitMode::zero);
  EXPECT_EQ(diffs[2]->newFile.mode.decimal, 0100644u);
  EXPECT_TRUE(diffs[2]->cached);
}

// Line texts are views: equal bytes elsewhere compare and hash alike.
TEST(GitDiffRecords, HashAgreesWithEquality) {
  auto lines = parsePatch("diff --git a/f b/f\n--- a/f\n+++ b/f\n@@ -1,2 +1,2 @@\n-a\n+a\n x\n x\n")[0]->lines;
  lines.push_back(lines[5]);
  lines.back().setString("a\n");
  expectHashAgreesWithEquality(lines);
}
