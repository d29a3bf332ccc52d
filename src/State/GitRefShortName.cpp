#include "tavrik/State/GitRefShortName.h"

#include "tavrik/Util/TavrikError.h"

#include <algorithm>

namespace tavrik {

std::optional<GitRef> findReference(const GitRefList& refs, const std::string& name) {
  if (name == "HEAD") return GitRef::named(name);
  for (const auto& candidate : {name, "refs/" + name, "refs/tags/" + name, "refs/heads/" + name,
                                "refs/remotes/" + name, "refs/remotes/" + name + "/HEAD"}) {
    auto found = std::find_if(refs.all.begin(), refs.all.end(), [&](const GitRef& r) { return r.name == candidate; });
    if (found != refs.all.end()) return *found;
  }
  return std::nullopt;
}

GitRef resolveReference(const GitRefList& refs, const std::string& name) {
  TavrikError::refuseOptionLikeName(name);
  if (auto found = findReference(refs, name)) return *found;
  throw TavrikError("Unknown reference \"" + name + "\"", "No branch, remote branch or tag has that name.");
}

} // namespace tavrik
