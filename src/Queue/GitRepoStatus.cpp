#include "tavrik/Queue/GitRepoStatus.h"

#include "tavrik/Util/HashCombine.h"

namespace tavrik {

void GitRepoStatus::update(const GitRepoStatus& other) {
  url = other.url;
  if (other.readmeURL) readmeURL = other.readmeURL;
  if (other.changedFiles) changedFiles = other.changedFiles;
  if (other.head) head = other.head;
}

} // namespace tavrik

size_t std::hash<tavrik::GitRepoStatus>::operator()(const tavrik::GitRepoStatus& s) const noexcept {
  using tavrik::detail::hashMix;
  using tavrik::detail::hashOf;
  size_t h = hashOf(s.url);
  h = hashMix(h, hashOf(s.readmeURL));
  h = hashMix(h, hashOf(s.changedFiles));
  h = hashMix(h, hashOf(s.head));
  return h;
}
