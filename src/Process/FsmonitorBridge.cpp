#include "Process/FsmonitorBridge.h"

#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/StringUtilities.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace tavrik::detail {

namespace {

std::mutex registryLock; // guards registry()
// Never destroyed: a queue's worker may still ask for an endpoint while the
// process exits.
std::unordered_map<std::string, std::shared_ptr<FsmonitorEndpoint>>& registry() {
  static auto* endpoints = new std::unordered_map<std::string, std::shared_ptr<FsmonitorEndpoint>>();
  return *endpoints;
}

// Brings the private copy up to date with the repository's index, under the
// endpoint's copy lock. The identity is taken before the content is read:
// an index replaced in between leaves a copy newer than its identity, and
// the next run copies again.
bool refreshPrivateIndex(FsmonitorEndpoint& endpoint, const std::string& indexPath) {
  struct stat info {};
  // The header and the smallest checksum: anything shorter is not an index.
  if (::stat(indexPath.c_str(), &info) != 0 || info.st_size < 12 + 20) return false;
  FsmonitorEndpoint::IndexIdentity identity;
  identity.size = info.st_size;
  identity.modifiedNanoseconds = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
  identity.changedNanoseconds = static_cast<long long>(info.st_ctim.tv_sec) * 1000000000LL + info.st_ctim.tv_nsec;
  identity.inode = info.st_ino;
  std::ifstream index(indexPath, std::ios::binary);
  identity.trailer.resize(20);
  if (!index.seekg(-20, std::ios::end) || !index.read(identity.trailer.data(), 20)) return false;
  if (endpoint.copiedFrom == identity && ::access(endpoint.privateIndexPath.c_str(), F_OK) == 0) return true;
  try {
    auto content = readFileIfExists(indexPath);
    if (!content) return false;
    writeFileAtomically(endpoint.privateIndexPath, *content);
  } catch (const std::exception&) {
    return false;
  }
  // git takes an entry whose file changed in the second the index was
  // written as possibly modified and compares its content ("racily clean").
  // A copy younger than its entries would hide such a change behind
  // matching stat data, so the copy keeps the index's own times; times read
  // before a replacement only make more entries racy, never fewer.
  const timespec times[2] = {info.st_atim, info.st_mtim};
  if (::utimensat(AT_FDCWD, endpoint.privateIndexPath.c_str(), times, 0) != 0) return false;
  endpoint.copiedFrom = identity;
  return true;
}

} // namespace

void registerFsmonitorEndpoint(const std::string& worktreeRoot, std::shared_ptr<FsmonitorEndpoint> endpoint) {
  std::lock_guard lock(registryLock);
  registry()[worktreeRoot] = std::move(endpoint);
}

void unregisterFsmonitorEndpoint(const std::string& worktreeRoot, const FsmonitorEndpoint* endpoint) {
  std::lock_guard lock(registryLock);
  auto it = registry().find(worktreeRoot);
  if (it != registry().end() && it->second.get() == endpoint) registry().erase(it);
}

std::shared_ptr<FsmonitorEndpoint> fsmonitorEndpoint(const GitRepositoryDescriptor& descriptor) {
  auto worktree = descriptor.worktreeURL();
  if (!worktree) return nullptr;
  std::lock_guard lock(registryLock);
  auto it = registry().find(worktree->path());
  return it == registry().end() ? nullptr : it->second;
}

std::optional<MonitoredRun> monitoredRun(const GitRepositoryDescriptor& descriptor) {
  auto endpoint = fsmonitorEndpoint(descriptor);
  if (!endpoint) return std::nullopt;
  {
    std::lock_guard copy(endpoint->copyLock);
    if (!refreshPrivateIndex(*endpoint, descriptor.gitURL.path() + "/index")) return std::nullopt;
  }
  MonitoredRun run;
  // git runs the hook through the shell when its path needs quoting.
  for (std::string setting : {"core.fsmonitor=" + shellQuoted(endpoint->companionPath),
                              std::string("core.fsmonitorHookVersion=2"), std::string("core.untrackedCache=true"),
                              // The copy is written whole, never as a split index
                              // beside the repository's shared ones.
                              std::string("core.splitIndex=false")}) {
    run.configArguments.push_back("-c");
    run.configArguments.push_back(std::move(setting));
  }
  // The token and the cache are kept only if git may write the copy, even
  // when the user's environment asks for no optional locks.
  run.environment = {{"GIT_INDEX_FILE", endpoint->privateIndexPath},
                     {"GIT_OPTIONAL_LOCKS", "1"},
                     {kFsmonitorSocketVariable, endpoint->socketPath},
                     {kFsmonitorTokenVariable, endpoint->secret}};
  return run;
}

} // namespace tavrik::detail
