#include "tavrik/Util/FileSystem.h"

#include "tavrik/Util/TavrikError.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tavrik {

namespace {

class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

private:
  int fd_;
};

mode_t currentUmask() {
  // umask can only be read by setting it; this is the way everyone does it.
  mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

std::string folderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool isInside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.starts_with(folder) && (folder == "/" || path[folder.size()] == '/');
}

// The file to replace: the path itself, or the target of a link that stays
// within the allowed folder. rename() would replace a link rather than its
// target, and following one blindly would let a committed link rewrite any
// file the user can write.
std::string replacedFile(const std::string& path, const AtomicWriteOptions& options) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  const std::string allowedFolder = options.linksWithin.value_or(folderOf(path));
  auto allowed = realPath(allowedFolder);
  auto target = realPath(path);
  if (!target)
    throw TavrikError("Cannot write \"" + path + "\"", "It is a symbolic link to a file that does not exist.");
  bool within = allowed && (options.linksWithin ? isInside(*target, *allowed) : folderOf(*target) == *allowed);
  if (!within)
    throw TavrikError("Cannot write \"" + path + "\"",
                      "It is a symbolic link to \"" + *target + "\", outside \"" + allowedFolder + "\".");
  return *target;
}

bool sameFileSystem(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

} // namespace

std::optional<std::string> realPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::optional<std::string> readFileIfExists(const std::string& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw TavrikError::fromErrno(errno, "open " + path);
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TavrikError::fromErrno(errno, "read " + path);
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

void writeFileAtomically(const std::string& requestedPath, std::string_view bytes,
                         const AtomicWriteOptions& options) {
  const std::string path = replacedFile(requestedPath, options);
  struct stat existing {};
  mode_t mode = 0666 & ~currentUmask();
  if (::lstat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;

  std::string temporary = path + ".tmp-XXXXXX";
  if (options.temporaryFolder && sameFileSystem(*options.temporaryFolder, folderOf(path)))
    temporary = *options.temporaryFolder + "/tavrik-write.tmp-XXXXXX";
  Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) throw TavrikError::fromErrno(errno, "mkstemp " + temporary);
  auto fail = [&](const char* call) {
    int saved = errno;
    ::unlink(temporary.c_str());
    throw TavrikError::fromErrno(saved, std::string(call) + " " + temporary);
  };
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("write");
    written += static_cast<size_t>(n);
  }
  if (::fchmod(fd.get(), mode) != 0) fail("fchmod");
  if (::fsync(fd.get()) != 0) fail("fsync");
  if (::close(fd.release()) != 0) fail("close");
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail("rename");
}

} // namespace tavrik
