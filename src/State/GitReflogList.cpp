#include "tavrik/State/GitReflogList.h"

#include "tavrik/Util/HashCombine.h"

size_t std::hash<tavrik::GitReflogList>::operator()(const tavrik::GitReflogList& l) const noexcept {
  return tavrik::detail::hashOf(l.names);
}
