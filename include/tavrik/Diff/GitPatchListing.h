// A listing (`GitExecDiffOperation` without patches: status, paths, modes,
// similarity, line counts) and the patches of the same request come from two
// git runs. A client that shows both wants one record per file: the patches,
// each completed with what the listing says of its file.
#pragma once

#include "tavrik/Diff/GitDiff.h"

namespace tavrik {

/// `patches`, in their own order, each given the listing's offset, status,
/// similarity, stats, paths and modes of the same file, and the listing's ids
/// where the patch has none (a patch names ids abbreviated or not at all). A
/// patch the listing lacks (each half of a type change) keeps what its own
/// lines say. The patch records are completed in place, not copied: their
/// lines can be large.
GitDiffList patchesWithListing(GitDiffList patches, const GitDiffList& listing);

} // namespace tavrik
