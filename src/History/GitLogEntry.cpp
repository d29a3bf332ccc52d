#include "tavrik/History/GitLogEntry.h"

#include "tavrik/Util/HashCombine.h"

namespace tavrik {

GitSignature gitSignature(const arbor::Signature& signature) {
  return GitSignature{signature.name, signature.email,
                      GitTimestamp{signature.date, static_cast<double>(signature.offsetMinutes) * 60}};
}

GitLogEntry GitLogEntry::fromCommit(const arbor::Commit& commit, SharedValue<GitLogDescriptor> descriptor) {
  GitLogEntry entry;
  entry.id = commit.id;
  entry.tree = commit.treeId;
  entry.parents = commit.parentIds;
  entry.message = commit.message;
  entry.author = gitSignature(commit.author);
  entry.committer = gitSignature(commit.committer);
  entry.descriptor = std::move(descriptor);
  return entry;
}

} // namespace tavrik

size_t std::hash<tavrik::GitLogEntry>::operator()(const tavrik::GitLogEntry& e) const noexcept {
  // The id names the commit's content; the rest tells rows of one commit in
  // different walks apart.
  return tavrik::detail::hashFields(e.id, e.descriptor, e.isHeadCommit, e.graphLaneRow, e.stashEntry, e.queryMatch);
}
