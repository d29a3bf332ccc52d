#include "tavrik/State/GitViewExecStatusOperation.h"

#include "tavrik/Queue/GitQueue.h"
#include "tavrik/State/GitStatusParser.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <sys/stat.h>

namespace tavrik {

std::vector<std::string> GitViewExecStatusOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"status", "-z"};
  if (includeIgnored) args.push_back("--ignored");
  args.push_back("--porcelain=v2");
  return args;
}

void GitViewExecStatusOperation::sortByPath(std::vector<GitStatusEntry>& entries) {
  // Entries are large; sort small indices, then move each entry once along
  // the cycles of the permutation.
  std::vector<uint32_t> order(entries.size());
  std::iota(order.begin(), order.end(), 0u);
  GitStatusEntryPathLess less;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return less(entries[a], entries[b]); });
  for (size_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    GitStatusEntry held = std::move(entries[start]);
    size_t slot = start;
    while (order[slot] != start) {
      size_t from = order[slot];
      entries[slot] = std::move(entries[from]);
      order[slot] = static_cast<uint32_t>(slot);
      slot = from;
    }
    entries[slot] = std::move(held);
    order[slot] = static_cast<uint32_t>(slot);
  }
}

void GitViewExecStatusOperation::stampModificationDates(std::vector<GitStatusEntry>& entries, const Url& worktree) {
  std::string path = worktree.path();
  if (path.empty() || path.back() != '/') path += '/';
  const size_t base = path.size();
  for (auto& entry : entries) {
    if (!entry.newPath) continue;
    path.resize(base);
    path += *entry.newPath;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) continue;
    auto sinceEpoch = std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec);
    entry.modificationDate = Date(std::chrono::duration_cast<Date::duration>(sinceEpoch));
  }
}

GitView GitViewExecStatusOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor || descriptor->isBare) return context.queue->view();
  const Url worktree = descriptor->url;

  runCommand(context);
  entries = GitStatusParser::parse(*stdOutBuffer);
  // The output is not needed any more; give its memory back before the view
  // is copied.
  *stdOutBuffer = GitBuffer();
  sortByPath(entries);
  stampModificationDates(entries, worktree);

  return context.queue->updateView([this](GitView& view) { view.status = GitStatusList{std::move(entries)}; });
}

} // namespace tavrik
