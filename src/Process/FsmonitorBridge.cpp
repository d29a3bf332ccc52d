#include "Process/FsmonitorBridge.h"

#include "tavrik/Util/StringUtilities.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace tavrik::detail {

namespace {

std::mutex registryLock; // guards registry()
std::unordered_map<std::string, std::shared_ptr<FsmonitorEndpoint>>& registry() {
  static std::unordered_map<std::string, std::shared_ptr<FsmonitorEndpoint>> endpoints;
  return endpoints;
}

class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

bool readFully(int fd, char* data, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = ::pread(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool writeFully(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Brings the private copy up to date with the repository's index, under the
// endpoint's copy lock. git replaces an index by renaming a new file over
// it, so everything read through one descriptor belongs to one index.
bool refreshPrivateIndex(FsmonitorEndpoint& endpoint, const std::string& indexPath) {
  Descriptor index(::open(indexPath.c_str(), O_RDONLY | O_CLOEXEC));
  if (index.get() < 0) return false;
  struct stat info {};
  // The header and the smallest checksum: anything shorter is not an index.
  if (::fstat(index.get(), &info) != 0 || info.st_size < 12 + 20) return false;
  FsmonitorEndpoint::IndexIdentity identity;
  identity.size = info.st_size;
  identity.modifiedNanoseconds = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
  identity.inode = info.st_ino;
  identity.trailer.resize(20);
  if (!readFully(index.get(), identity.trailer.data(), 20, info.st_size - 20)) return false;
  if (endpoint.copiedFrom == identity && ::access(endpoint.privateIndexPath.c_str(), F_OK) == 0) return true;

  std::string content(static_cast<size_t>(info.st_size), '\0');
  if (!readFully(index.get(), content.data(), content.size(), 0)) return false;
  const std::string temporary = endpoint.privateIndexPath + ".new";
  Descriptor copy(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (copy.get() < 0) return false;
  if (!writeFully(copy.get(), content.data(), content.size()) ||
      std::rename(temporary.c_str(), endpoint.privateIndexPath.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
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

std::optional<MonitoredRun> monitoredRun(const GitRepositoryDescriptor& descriptor) {
  auto worktree = descriptor.worktreeURL();
  if (!worktree) return std::nullopt;
  std::shared_ptr<FsmonitorEndpoint> endpoint;
  {
    std::lock_guard lock(registryLock);
    auto it = registry().find(worktree->path());
    if (it == registry().end()) return std::nullopt;
    endpoint = it->second;
  }
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
  run.environment = {{"GIT_INDEX_FILE", endpoint->privateIndexPath},
                     {kFsmonitorSocketVariable, endpoint->socketPath},
                     {kFsmonitorTokenVariable, endpoint->secret}};
  return run;
}

} // namespace tavrik::detail
