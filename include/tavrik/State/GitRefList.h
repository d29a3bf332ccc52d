// All references of a repository, grouped the ways the client draws them:
// by kind, direct or symbolic, and by the commit they point to.
#pragma once

#include "tavrik/State/GitRef.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

namespace tavrik {

/// Some of a list's references, in the group's order: a view of the records
/// in `GitRefList::all`, not copies of them. It reads like a vector of
/// `GitRef` (range-for, `size`, `[]`) and is valid while its list lives
/// unchanged; `toVector` copies the records out.
class GitRefGroup {
public:
  class iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = GitRef;
    using difference_type = std::ptrdiff_t;
    using pointer = const GitRef*;
    using reference = const GitRef&;

    iterator() = default;
    iterator(const GitRef* all, const uint32_t* position) : all_(all), position_(position) {}
    reference operator*() const { return all_[*position_]; }
    pointer operator->() const { return &all_[*position_]; }
    iterator& operator++() {
      ++position_;
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++position_;
      return before;
    }
    bool operator==(const iterator& other) const { return position_ == other.position_; }

  private:
    const GitRef* all_ = nullptr;
    const uint32_t* position_ = nullptr;
  };

  GitRefGroup() = default;
  /// The records of `all` at `positions`.
  GitRefGroup(const std::vector<GitRef>& all, std::span<const uint32_t> positions)
      : all_(all.data()), positions_(positions) {}

  iterator begin() const { return {all_, positions_.data()}; }
  iterator end() const { return {all_, positions_.data() + positions_.size()}; }
  size_t size() const { return positions_.size(); }
  bool empty() const { return positions_.empty(); }
  const GitRef& operator[](size_t index) const { return all_[positions_[index]]; }
  const GitRef& front() const { return (*this)[0]; }
  std::vector<GitRef> toVector() const { return {begin(), end()}; }

private:
  const GitRef* all_ = nullptr;
  std::span<const uint32_t> positions_;
};

/// Made by `from`: `all` holds each record once, and every group names its
/// records by their position in `all`, so a list of thousands of references
/// is not held four times over.
struct GitRefList {
  /// The branch HEAD points to; absent when detached or unborn.
  std::optional<GitRef> head;
  /// Every reference in git's order.
  std::vector<GitRef> all;

  /// Groups `refs` (kept in `all` as given).
  static GitRefList from(std::vector<GitRef> refs);

  // The groups below are in `GitRef` order (master, develop, the rest).
  GitRefGroup direct() const { return group(direct_); }
  GitRefGroup symbolic() const { return group(symbolic_); }
  GitRefGroup branches() const { return group(branches_); }
  GitRefGroup remoteBranches() const { return group(remoteBranches_); }
  GitRefGroup tags() const { return group(tags_); }
  /// The references that peel to `commit`; empty when none does.
  GitRefGroup pointingAt(const Oid& commit) const;
  /// Every commit some reference peels to, in object id order.
  const std::vector<Oid>& targetCommits() const { return targetCommits_; }

  int64_t aheadUpstreamTotal() const;
  int64_t behindUpstreamTotal() const;
  std::vector<GitRef> directLocalBranches() const;
  std::vector<GitRef> directRemoteBranches() const;
  std::vector<GitRef> directLocalAndRemoteBranches() const;
  /// Local branches, remote branches, then tags: what the commit graph labels.
  std::vector<GitRef> graphRefs() const;

  bool operator==(const GitRefList&) const = default;

private:
  GitRefGroup group(const std::vector<uint32_t>& positions) const { return {all, positions}; }

  // Positions in `all`.
  std::vector<uint32_t> direct_, symbolic_, branches_, remoteBranches_, tags_;
  // The references of targetCommits_[i] are targetPositions_ from
  // targetStarts_[i] up to targetStarts_[i + 1].
  std::vector<Oid> targetCommits_;
  std::vector<uint32_t> targetStarts_;
  std::vector<uint32_t> targetPositions_;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitRefList> {
  size_t operator()(const tavrik::GitRefList& l) const noexcept;
};
