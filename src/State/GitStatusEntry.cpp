#include "tavrik/State/GitStatusEntry.h"

#include "tavrik/Util/HashCombine.h"

#include <algorithm>

namespace tavrik {

std::optional<std::string> GitStatusEntry::path() const { return newPath ? newPath : oldPath; }

std::vector<std::string> GitStatusEntry::paths() const {
  std::vector<std::string> out;
  if (oldPath) out.push_back(*oldPath);
  if (newPath) out.push_back(*newPath);
  return out;
}

std::vector<std::string> GitStatusEntry::uniquePaths() const {
  std::vector<std::string> out;
  for (auto& p : paths())
    if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(std::move(p));
  return out;
}

namespace {
bool isNoChangeColumn(GitStatus s) {
  return s == GitStatus::unmodified || s == GitStatus::untracked || s == GitStatus::ignored ||
         s == GitStatus::unknown;
}
std::set<std::string> setOf(const std::optional<std::string>& p) {
  if (p) return {*p};
  return {};
}
} // namespace

GitStaged GitStatusEntry::isStaged() const {
  if (isNoChangeColumn(index)) return GitStaged::no;
  if (isNoChangeColumn(worktree)) return GitStaged::yes;
  return GitStaged::partial;
}

bool GitStatusEntry::isDirectory() const {
  auto p = path();
  return p && !p->empty() && p->back() == '/';
}

std::set<std::string> GitStatusEntry::resettablePaths() const {
  if (either(GitStatus::added) || either(GitStatus::untracked)) return {};
  if (either(GitStatus::renamed) || either(GitStatus::deleted)) return setOf(oldPath);
  return setOf(newPath);
}

std::set<std::string> GitStatusEntry::deletablePaths() const {
  if (either(GitStatus::deleted)) return {};
  return setOf(newPath);
}

bool GitStatusEntryPathLess::operator()(const GitStatusEntry& a, const GitStatusEntry& b) const {
  static const std::string kNone;
  const std::string* pa = a.newPath ? &*a.newPath : a.oldPath ? &*a.oldPath : &kNone;
  const std::string* pb = b.newPath ? &*b.newPath : b.oldPath ? &*b.oldPath : &kNone;
  // char_traits<char> compares as unsigned char, so UTF-8 sorts by scalar value.
  return *pa < *pb;
}

std::vector<GitStatusEntry> sortedByPath(std::vector<GitStatusEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(), GitStatusEntryPathLess{});
  return entries;
}

std::set<std::string> newFilePaths(const std::vector<GitStatusEntry>& entries) {
  std::set<std::string> out;
  for (const auto& e : entries)
    if (e.newPath) out.insert(*e.newPath);
  return out;
}

std::set<std::string> oldFilePaths(const std::vector<GitStatusEntry>& entries) {
  std::set<std::string> out;
  for (const auto& e : entries)
    if (e.oldPath) out.insert(*e.oldPath);
  return out;
}

std::set<std::string> filePaths(const std::vector<GitStatusEntry>& entries) {
  auto out = oldFilePaths(entries);
  out.merge(newFilePaths(entries));
  return out;
}

bool allStaged(const std::vector<GitStatusEntry>& entries) {
  return std::all_of(entries.begin(), entries.end(), [](const auto& e) { return e.isStaged() == GitStaged::yes; });
}

bool someStaged(const std::vector<GitStatusEntry>& entries) {
  return std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.isStaged() != GitStaged::no; });
}

std::optional<GitStatusEntry> GitStatusList::entryFor(std::string_view path) const {
  for (const auto& e : entries) {
    auto p = e.path();
    if (p && *p == path) return e;
  }
  return std::nullopt;
}

bool GitStatusList::hasConflicts() const {
  return std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.hasConflict(); });
}

} // namespace tavrik

size_t std::hash<tavrik::GitStatusEntry>::operator()(const tavrik::GitStatusEntry& e) const noexcept {
  using tavrik::detail::hashFields;
  return hashFields(e.index, e.worktree, e.oldPath, e.newPath, e.submoduleState, e.modeStage1, e.modeStage2,
                    e.modeStage3, e.modeHead, e.modeIndex, e.modeWorktree, e.oidStage1, e.oidStage2, e.oidStage3,
                    e.oidHead, e.oidIndex, e.score, e.modificationDate);
}

size_t std::hash<tavrik::GitStatusList>::operator()(const tavrik::GitStatusList& l) const noexcept {
  return tavrik::detail::hashOf(l.entries);
}
