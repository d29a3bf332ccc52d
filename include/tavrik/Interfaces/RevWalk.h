// A revision walk: commit ids reachable from pushed starting points, in the
// chosen order. A walk keeps its repository open.
//
// Threads: one thread at a time (see Repo.h).
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Util/OptionSet.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct git_revwalk;

namespace arbor {

/// How a walk orders commits: a set of flags over a 32-bit raw value.
struct Sort : tavrik::OptionSet<Sort> {
  using OptionSet::OptionSet;

  /// No particular order.
  static const Sort none;
  /// Children before their parents.
  static const Sort topological;
  /// By commit time, newest first.
  static const Sort time;
  /// The whole order reversed.
  static const Sort reverse;
};

inline constexpr Sort Sort::none{0};
inline constexpr Sort Sort::topological{1};
inline constexpr Sort Sort::time{2};
inline constexpr Sort Sort::reverse{4};

class RevWalk {
public:
  /// Throws `arbor::Error`.
  explicit RevWalk(const Repo& repo);
  ~RevWalk();
  RevWalk(RevWalk&&) noexcept;
  RevWalk& operator=(RevWalk&&) noexcept;

  /// Sets the order; resets the walk (pushed starting points are dropped).
  void setSorting(Sort sort);
  /// Starts from the commit the reference `name` leads to; a short name is
  /// resolved like git's command line does. Throws `arbor::Error` (code
  /// `notFound` when there is no such reference).
  void pushRef(const std::string& name);
  /// Starts from the commit HEAD leads to. Throws `arbor::Error`.
  void pushHead();
  /// Starts from a commit. Throws `arbor::Error`.
  void push(const Oid& commit);
  /// Leaves out a commit and its ancestors. Throws `arbor::Error`.
  void hide(const Oid& commit);
  /// The next commit id; nullopt at the end. Throws `arbor::Error`.
  std::optional<Oid> next();
  /// Forgets the starting points and the progress; the sorting stays.
  void reset();

  const Repo& repo() const { return repo_; }

private:
  struct Deleter {
    void operator()(git_revwalk* walk) const noexcept;
  };
  Repo repo_;
  std::unique_ptr<git_revwalk, Deleter> walk_;
};

} // namespace arbor
