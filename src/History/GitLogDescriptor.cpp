#include "tavrik/History/GitLogDescriptor.h"

#include "tavrik/Util/HashCombine.h"

#include <algorithm>

namespace tavrik {

bool GitLogDescriptor::isHeadBranch() const {
  if (type != GitLogType::reference) return false;
  return refs.empty() || std::any_of(refs.begin(), refs.end(), [](const GitRef& r) { return r.isHead; });
}

GitLogDescriptor GitLogDescriptor::withQuery(std::optional<GitQuery> q) const {
  GitLogDescriptor copy = *this;
  copy.query = std::move(q);
  return copy;
}

} // namespace tavrik

size_t std::hash<tavrik::GitLogDescriptor>::operator()(const tavrik::GitLogDescriptor& d) const noexcept {
  return tavrik::detail::hashFields(d.type, d.refs, d.reflogName, d.query, d.showsAllRefs);
}
