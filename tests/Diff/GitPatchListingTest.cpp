#include "tavrik/Diff/GitPatchListing.h"

#include "Support/Helpers.h"
#include "tavrik/Diff/GitExecDiffOperation.h"

using namespace tavrik;
using namespace tavrik::testing;

// A rename, a mode change, an edit and a file turned into a link: each patch
// carries its listing's record, and its own lines unchanged; each half of the
// type change keeps what its patch says.
TEST(GitPatchListing, CompletesEachPatchWithItsListing) {
  ScratchRepo repo;
  repo.commitFile("old name", "1\n2\n3\n4\n5\n6\n", "base");
  repo.commitFile("tool", "#!/bin/sh\n", "tool");
  repo.commitFile("edited", "a\nb\n", "edited");
  repo.commitFile("link", "plain\n", "link");
  repo.git({"mv", "old name", "caf\xe9"});
  repo.write("caf\xe9", "1\n2\n3\n4\n5\n6\n7\n");
  repo.write("edited", "a\nc\n");
  repo.git({"rm", "-q", "link"});
  std::filesystem::create_symlink("edited", repo.path() / "link");
  repo.git({"add", "-A"});
  repo.git({"update-index", "--chmod=+x", "tool"});
  auto queue = readerQueue(repo);
  auto listing = runOn(queue, makeOperation<GitExecDiffOperation>({.cached = true}));
  auto patches = runOn(queue, makeOperation<GitExecDiffOperation>({.raw = false, .cached = true}));
  std::vector<std::vector<GitDiffLine>> lines;
  for (const auto& patch : patches.diffs) lines.push_back(patch->lines);
  auto merged = patchesWithListing(patches, listing);
  ASSERT_EQ(merged.diffs.size(), lines.size());
  size_t matched = 0;
  for (size_t i = 0; i < merged.diffs.size(); ++i) {
    const auto& patch = *merged.diffs[i];
    SCOPED_TRACE(patch.filePaths().back());
    EXPECT_EQ(patch.lines, lines[i]);
    for (const auto& listed : listing.diffs) {
      if (listed->filePaths() != patch.filePaths()) continue;
      ++matched;
      EXPECT_EQ(patch.status, listed->status);
      EXPECT_EQ(patch.similarity, listed->similarity);
      EXPECT_EQ(patch.stats, listed->stats);
      EXPECT_EQ(patch.oldFile, listed->oldFile);
      EXPECT_EQ(patch.newFile, listed->newFile);
    }
  }
  // The link's two halves are not in the listing, which names it once.
  EXPECT_EQ(matched, 3u);
  EXPECT_EQ(merged.diffs.size(), 5u);
}
