#include "tavrik/State/GitRefList.h"

#include "tavrik/Util/HashCombine.h"

#include <algorithm>

namespace tavrik {

GitRefList GitRefList::from(std::vector<GitRef> refs) {
  GitRefList list;
  // The groups are filled in sorted order through indices: sorting a copy
  // of the records cost a copy of every name and path, and growing each
  // group one push at a time as much again.
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
  std::vector<size_t> order(refs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (keys[a].rank != keys[b].rank) return keys[a].rank < keys[b].rank;
    return keys[a].shorthand < keys[b].shorthand;
  });
  size_t counts[3] = {0, 0, 0};
  size_t symbolicCount = 0;
  for (const auto& ref : refs) {
    if (ref.type == GitRefType::branch) ++counts[0];
    if (ref.type == GitRefType::remote) ++counts[1];
    if (ref.type == GitRefType::tag) ++counts[2];
    if (ref.symbolicTarget) ++symbolicCount;
  }
  list.branch.reserve(counts[0]);
  list.remote.reserve(counts[1]);
  list.tag.reserve(counts[2]);
  list.symbolic.reserve(symbolicCount);
  list.direct.reserve(refs.size() - symbolicCount);
  for (size_t index : order) {
    const GitRef& ref = refs[index];
    if (ref.isHead) list.head = ref;
    switch (ref.type) {
    case GitRefType::branch: list.branch.push_back(ref); break;
    case GitRefType::remote: list.remote.push_back(ref); break;
    case GitRefType::tag: list.tag.push_back(ref); break;
    default: break;
    }
    (ref.symbolicTarget ? list.symbolic : list.direct).push_back(ref);
  }
  // By commit, each commit's references still in sorted order; every
  // vector is made at its final size and the map filled in key order, so
  // no record is copied twice by a vector growing.
  std::erase_if(order, [&](size_t index) { return !refs[index].commit; });
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return *refs[a].commit < *refs[b].commit; });
  for (size_t first = 0; first < order.size();) {
    const Oid& commit = *refs[order[first]].commit;
    size_t last = first;
    while (last < order.size() && *refs[order[last]].commit == commit) ++last;
    auto& group = list.targets.emplace_hint(list.targets.end(), commit, std::vector<GitRef>())->second;
    group.reserve(last - first);
    for (size_t i = first; i < last; ++i) group.push_back(refs[order[i]]);
    first = last;
  }
  list.all = std::move(refs);
  return list;
}

int64_t GitRefList::aheadUpstreamTotal() const {
  int64_t total = 0;
  for (const auto& r : branch) total += r.upstreamCount.left;
  return total;
}

int64_t GitRefList::behindUpstreamTotal() const {
  int64_t total = 0;
  for (const auto& r : branch) total += r.upstreamCount.right;
  return total;
}

namespace {
std::vector<GitRef> nonSymbolic(const std::vector<GitRef>& refs) {
  std::vector<GitRef> out;
  std::copy_if(refs.begin(), refs.end(), std::back_inserter(out), [](const GitRef& r) { return !r.isSymbolic(); });
  return out;
}
} // namespace

std::vector<GitRef> GitRefList::directLocalBranches() const { return nonSymbolic(branch); }
std::vector<GitRef> GitRefList::directRemoteBranches() const { return nonSymbolic(remote); }

std::vector<GitRef> GitRefList::directLocalAndRemoteBranches() const {
  auto out = directLocalBranches();
  auto remotes = directRemoteBranches();
  out.insert(out.end(), remotes.begin(), remotes.end());
  return out;
}

std::vector<GitRef> GitRefList::graphRefs() const {
  auto out = directLocalAndRemoteBranches();
  out.insert(out.end(), tag.begin(), tag.end());
  return out;
}

} // namespace tavrik

size_t std::hash<tavrik::GitRefList>::operator()(const tavrik::GitRefList& l) const noexcept {
  // `all` holds every reference the groups hold, so hashing it and the head suffices.
  return tavrik::detail::hashFields(l.head, l.all);
}
