// The aspects of a repository that an operation may change and that the
// queue's cached view refreshes: a 32-bit set.
#pragma once

#include "tavrik/Util/OptionSet.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tavrik {

struct GitAspects : OptionSet<GitAspects> {
  using OptionSet::OptionSet;

  static const GitAspects head, status, refs, logDescriptor, stashes, stateFiles, queueTasks, config, submodules,
      reflogs, worktrees, all;

  /// "<GitAspects head, status>": the names of all, head, status, refs,
  /// logDescriptor, stashes, stateFiles, queueTasks and config whose bits are
  /// all present (submodules, reflogs and worktrees have no name here).
  std::string debugDescription() const;
};

inline constexpr GitAspects GitAspects::head{0x1};
inline constexpr GitAspects GitAspects::status{0x2};
inline constexpr GitAspects GitAspects::refs{0x4};
inline constexpr GitAspects GitAspects::logDescriptor{0x8};
inline constexpr GitAspects GitAspects::stashes{0x10};
inline constexpr GitAspects GitAspects::stateFiles{0x20};
inline constexpr GitAspects GitAspects::queueTasks{0x40};
inline constexpr GitAspects GitAspects::config{0x80};
inline constexpr GitAspects GitAspects::submodules{0x100};
inline constexpr GitAspects GitAspects::reflogs{0x200};
inline constexpr GitAspects GitAspects::worktrees{0x400};
inline constexpr GitAspects GitAspects::all{0xFFFFFFFF};

} // namespace tavrik

template <> struct std::hash<tavrik::GitAspects> {
  size_t operator()(tavrik::GitAspects a) const noexcept { return std::hash<uint32_t>{}(a.rawValue); }
};
