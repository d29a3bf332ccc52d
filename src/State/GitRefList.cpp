#include "tavrik/State/GitRefList.h"

#include "tavrik/Util/HashCombine.h"

#include <algorithm>

namespace tavrik {

GitRefList GitRefList::from(std::vector<GitRef> refs) {
  GitRefList list;
  // GitRef's order (master, then develop, then by shorthand) with each
  // reference's rank worked out once rather than in every comparison.
  struct SortKey {
    int rank;
    std::string_view shorthand;
  };
  std::vector<SortKey> keys;
  keys.reserve(refs.size());
  for (const auto& ref : refs)
    keys.push_back({ref.shorthand == "master" ? 0 : ref.shorthand == "develop" ? 1 : 2, ref.shorthand});
  std::vector<uint32_t> order(refs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    if (keys[a].rank != keys[b].rank) return keys[a].rank < keys[b].rank;
    return keys[a].shorthand < keys[b].shorthand;
  });
  for (uint32_t index : order) {
    const GitRef& ref = refs[index];
    if (ref.isHead) list.head = ref;
    switch (ref.type) {
    case GitRefType::branch: list.branches_.push_back(index); break;
    case GitRefType::remote: list.remoteBranches_.push_back(index); break;
    case GitRefType::tag: list.tags_.push_back(index); break;
    default: break;
    }
    (ref.symbolicTarget ? list.symbolic_ : list.direct_).push_back(index);
  }
  // By commit, each commit's references still in sorted order.
  std::erase_if(order, [&](uint32_t index) { return !refs[index].commit; });
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return *refs[a].commit < *refs[b].commit; });
  list.targetPositions_ = std::move(order);
  for (size_t i = 0; i < list.targetPositions_.size(); ++i) {
    const Oid& commit = *refs[list.targetPositions_[i]].commit;
    if (list.targetCommits_.empty() || list.targetCommits_.back() != commit) {
      list.targetCommits_.push_back(commit);
      list.targetStarts_.push_back(static_cast<uint32_t>(i));
    }
  }
  list.targetStarts_.push_back(static_cast<uint32_t>(list.targetPositions_.size()));
  list.all = std::move(refs);
  return list;
}

GitRefGroup GitRefList::pointingAt(const Oid& commit) const {
  auto found = std::lower_bound(targetCommits_.begin(), targetCommits_.end(), commit);
  if (found == targetCommits_.end() || *found != commit) return {};
  const size_t slot = static_cast<size_t>(found - targetCommits_.begin());
  return {all, std::span<const uint32_t>(targetPositions_).subspan(
                   targetStarts_[slot], targetStarts_[slot + 1] - targetStarts_[slot])};
}

int64_t GitRefList::aheadUpstreamTotal() const {
  int64_t total = 0;
  for (const auto& r : branches()) total += r.upstreamCount.left;
  return total;
}

int64_t GitRefList::behindUpstreamTotal() const {
  int64_t total = 0;
  for (const auto& r : branches()) total += r.upstreamCount.right;
  return total;
}

namespace {
std::vector<GitRef> nonSymbolic(const GitRefGroup& refs) {
  std::vector<GitRef> out;
  std::copy_if(refs.begin(), refs.end(), std::back_inserter(out), [](const GitRef& r) { return !r.isSymbolic(); });
  return out;
}
} // namespace

std::vector<GitRef> GitRefList::directLocalBranches() const { return nonSymbolic(branches()); }
std::vector<GitRef> GitRefList::directRemoteBranches() const { return nonSymbolic(remoteBranches()); }

std::vector<GitRef> GitRefList::directLocalAndRemoteBranches() const {
  auto out = directLocalBranches();
  auto remotes = directRemoteBranches();
  out.insert(out.end(), remotes.begin(), remotes.end());
  return out;
}

std::vector<GitRef> GitRefList::graphRefs() const {
  auto out = directLocalAndRemoteBranches();
  for (const auto& ref : tags()) out.push_back(ref);
  return out;
}

} // namespace tavrik

size_t std::hash<tavrik::GitRefList>::operator()(const tavrik::GitRefList& l) const noexcept {
  // `all` holds every reference the groups hold, so hashing it and the head suffices.
  return tavrik::detail::hashFields(l.head, l.all);
}
