#include "tavrik/State/GitStashEntry.h"

#include "tavrik/Util/HashCombine.h"

size_t std::hash<tavrik::GitStashEntry>::operator()(const tavrik::GitStashEntry& e) const noexcept {
  return tavrik::detail::hashFields(e.index, e.oid, e.tree, e.parents, e.author, e.committer, e.message,
                                    e.messageWithoutPrefix, e.subject, e.refname);
}

size_t std::hash<tavrik::GitStashList>::operator()(const tavrik::GitStashList& l) const noexcept {
  return tavrik::detail::hashOf(l.entries);
}
