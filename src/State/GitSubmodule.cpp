#include "tavrik/State/GitSubmodule.h"

#include "tavrik/Util/HashCombine.h"

namespace tavrik {

std::optional<std::string> GitSubmodule::statusString() const {
  if (status == '+') return "M";
  if (status == 'U') return "U";
  if (status != '-' && changeCount > 0) return std::to_string(changeCount);
  if (status == ' ') return std::nullopt;
  return "?";
}

} // namespace tavrik

size_t std::hash<tavrik::GitSubmodule>::operator()(const tavrik::GitSubmodule& s) const noexcept {
  return tavrik::detail::hashFields(s.status, s.path, s.changeCount);
}
