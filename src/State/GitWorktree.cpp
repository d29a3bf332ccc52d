#include "tavrik/State/GitWorktree.h"

#include "tavrik/Util/HashCombine.h"

size_t std::hash<tavrik::GitWorktree>::operator()(const tavrik::GitWorktree& w) const noexcept {
  return tavrik::detail::hashFields(w.path, w.head, w.branch, w.isDetached, w.isBare, w.isLocked, w.lockReason,
                                    w.isPrunable, w.prunableReason);
}
