#include "tavrik/State/GitViewExecSubmoduleOperation.h"

#include "Interfaces/Libgit2.h"

#include "tavrik/State/GitExecRevListCountOperation.h"
#include "tavrik/Process/GitExecRepositoryDescriptorOperation.h"

#include <git2.h>

#include <algorithm>
#include <filesystem>
#include <atomic>
#include <system_error>
#include <thread>

namespace tavrik {
namespace {

bool isObjectId(std::string_view id) {
  // SHA-1 or SHA-256 repositories.
  if (id.size() != 40 && id.size() != 64) return false;
  return std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<GitSubmodule> parseLine(std::string_view line) {
  if (line.empty()) return std::nullopt;
  const char status = line.front();
  if (status != ' ' && status != '+' && status != '-' && status != 'U') return std::nullopt;
  size_t space = line.find(' ', 1);
  if (space == std::string_view::npos || !isObjectId(line.substr(1, space - 1))) return std::nullopt;
  std::string_view path = line.substr(space + 1);
  // git prints the path as it stands, spaces, tabs and non-UTF-8 bytes
  // included, so only the description can be cut off: git adds it for
  // checked-out submodules alone, and as it comes from `git describe` (ref
  // names hold no space) it is the last " (" group. A path of its own
  // ending in ")" stays whole for the others.
  if ((status == ' ' || status == '+') && !path.empty() && path.back() == ')') {
    size_t open = path.rfind(" (");
    if (open != std::string_view::npos) path = path.substr(0, open);
  }
  if (path.empty()) return std::nullopt;
  GitSubmodule submodule;
  submodule.status = status;
  submodule.path = std::string(path);
  return submodule;
}

// Where the submodule's repository lives and how many status records its
// working tree has; zero for anything that goes wrong on the way.
int64_t changeCount(GitOperationContext& context, const GitRepositoryDescriptor& parent,
                    const GitSubmodule& submodule) {
  try {
    auto url = parent.submoduleURL(submodule.path);
    if (!url) return 0;
    auto lookupContext = context.withDescriptor(std::nullopt);
    auto descriptor = makeOperation<GitExecRepositoryDescriptorOperation>(*url)->execute(lookupContext);
    auto countContext = context.withDescriptor(std::move(descriptor));
    return makeOperation<GitExecStatusChangeCountOperation>()->execute(countContext);
  } catch (...) {
    return 0;
  }
}

} // namespace

std::vector<std::string> GitViewExecSubmoduleOperation::arguments(GitOperationContext&) {
  return {"submodule", verb};
}

std::vector<GitSubmodule> GitViewExecSubmoduleOperation::parse(std::string_view text) {
  std::vector<GitSubmodule> submodules;
  size_t start = 0;
  while (start < text.size()) {
    size_t lineFeed = text.find('\n', start);
    if (lineFeed == std::string_view::npos) lineFeed = text.size();
    auto submodule = parseLine(text.substr(start, lineFeed - start));
    // Past a line we cannot read, the next line may be the rest of a path
    // with a line feed in it: nothing after it can be trusted.
    if (!submodule) break;
    submodules.push_back(std::move(*submodule));
    start = lineFeed + 1;
  }
  return submodules;
}

namespace {

// git lists submodules only from a .gitmodules in the working tree or, when
// that is missing, in the index. "git submodule" is a shell script that costs
// over 100 ms even with nothing to list, and most repositories have none.
// An index libgit2 cannot read (a split index, a newer format) counts as
// possibly having one, so git decides.
bool mayHaveSubmodules(const GitRepositoryDescriptor& repository) {
  std::error_code error;
  if (std::filesystem::exists(repository.url.appendingPathComponent(".gitmodules").path(), error) || error)
    return true;
  const auto library = arbor::detail::libraryToken();
  git_index* index = nullptr;
  if (git_index_open(&index, repository.gitURL.appendingPathComponent("index").path().c_str()) != 0) return true;
  const bool listed = git_index_get_bypath(index, ".gitmodules", 0) != nullptr;
  git_index_free(index);
  return listed;
}

} // namespace

std::optional<std::vector<GitSubmodule>> GitViewExecSubmoduleOperation::execute(GitOperationContext& context) {
  const auto* descriptor = context.effectiveDescriptor();
  if (!descriptor || descriptor->isBare) return std::nullopt;
  const GitRepositoryDescriptor parent = *descriptor;
  if (verb == "status" && !mayHaveSubmodules(parent)) return std::vector<GitSubmodule>{};
  runCommand(context);
  auto submodules = parse(stdOutBuffer->data());

  // An uninitialized submodule's folder is empty or missing, and git would
  // answer for the parent repository there: only the others are looked up.
  std::vector<size_t> lookups;
  for (size_t i = 0; i < submodules.size(); ++i)
    if (!submodules[i].isUninitialized()) lookups.push_back(i);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t k = next++; k < lookups.size() && !isCancelled(); k = next++) {
      auto& submodule = submodules[lookups[k]];
      submodule.changeCount = changeCount(context, parent, submodule);
    }
  };
  const size_t workers =
      std::min<size_t>(lookups.size(), std::max(1, context.host()->workerCount()));
  std::vector<std::thread> threads;
  // This thread is one of the workers; a thread that cannot be started
  // leaves its share to the others.
  for (size_t t = 1; t < workers; ++t) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (auto& thread : threads) thread.join();

  return submodules;
}

} // namespace tavrik
