#include "tavrik/Diff/GitPatchListing.h"

#include <map>

namespace tavrik {

GitDiffList patchesWithListing(GitDiffList patches, const GitDiffList& listing) {
  std::map<std::vector<std::string>, std::shared_ptr<GitDiff>> listed;
  for (const auto& diff : listing.diffs) listed.emplace(diff->filePaths(), diff);
  for (const auto& patch : patches.diffs) {
    auto found = listed.find(patch->filePaths());
    if (found == listed.end()) continue;
    const GitDiff& from = *found->second;
    patch->offset = from.offset;
    patch->status = from.status;
    patch->similarity = from.similarity;
    patch->stats = from.stats;
    for (auto [to, side] : {std::pair{&patch->oldFile, &from.oldFile}, std::pair{&patch->newFile, &from.newFile}}) {
      to->path = side->path;
      to->mode = side->mode;
      if (to->oid.isZero()) to->oid = side->oid;
    }
  }
  return patches;
}

} // namespace tavrik
