#include "Interfaces/LooseObject.h"

#include "Interfaces/Libgit2.h"

#include <git2/sys/odb_backend.h>
#include <zlib.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace arbor::detail {

namespace {

[[noreturn]] void corrupt(const std::string& why) { throw Error("corrupt loose object: " + why, Error::Code::invalid); }

// zlib cannot compress better than 1032 to 1: a header that claims more than
// that of its file is a lie, and believing it would allocate without bound.
constexpr size_t kMaxInflateRatio = 1032;

class Inflater {
public:
  explicit Inflater(std::string_view input) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream_.avail_in = static_cast<uInt>(input.size());
    if (input.size() > UINT32_MAX) corrupt("larger than zlib can read at once");
    if (inflateInit(&stream_) != Z_OK) corrupt("zlib cannot start");
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  /// Inflates into `room` bytes at `out` until they are full or the stream
  /// ends; returns how many it wrote. Each inflate call must consume input or
  /// give output, so this ends whatever the input.
  size_t fill(char* out, size_t room) {
    size_t written = 0;
    while (written < room && !ended_) {
      stream_.next_out = reinterpret_cast<Bytef*>(out + written);
      stream_.avail_out = static_cast<uInt>(std::min<size_t>(room - written, UINT32_MAX));
      const uInt inBefore = stream_.avail_in, outBefore = stream_.avail_out;
      const int status = inflate(&stream_, Z_NO_FLUSH);
      written += outBefore - stream_.avail_out;
      if (status == Z_STREAM_END) {
        ended_ = true;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        corrupt(stream_.msg ? stream_.msg : "broken zlib stream");
      } else if (stream_.avail_in == inBefore && stream_.avail_out == outBefore) {
        corrupt(stream_.avail_in == 0 ? "truncated" : "broken zlib stream");
      }
    }
    return written;
  }
  bool ended() const { return ended_; }
  bool inputLeft() const { return stream_.avail_in != 0; }

private:
  z_stream stream_{};
  bool ended_ = false;
};

LooseObjectHeader parseHeader(std::string_view text) {
  const auto space = text.find(' ');
  if (space == std::string_view::npos) corrupt("no type in its header");
  LooseObjectHeader header{std::string(text.substr(0, space)), 0};
  if (header.type != "blob" && header.type != "tree" && header.type != "commit" && header.type != "tag")
    corrupt("unknown type");
  const auto digits = text.substr(space + 1);
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), header.size);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) corrupt("bad size in its header");
  return header;
}

} // namespace

LooseObjectHeader inflateLooseObject(std::string_view file, const LooseObjectAllocate& allocate) {
  Inflater inflater(file);
  // "commit 18446744073709551615\0" is the longest header there is.
  char head[32];
  const size_t got = inflater.fill(head, sizeof head);
  const auto nul = static_cast<const char*>(std::memchr(head, '\0', got));
  if (!nul) corrupt(inflater.ended() || got < sizeof head ? "truncated header" : "header too long");
  auto header = parseHeader(std::string_view(head, static_cast<size_t>(nul - head)));
  if (header.size / kMaxInflateRatio > file.size()) corrupt("its header claims more than the file can hold");
  if (!allocate) return header;

  const size_t early = got - static_cast<size_t>(nul + 1 - head);
  if (early > header.size) corrupt("longer than its header says");
  char* out = allocate(header.size);
  if (early) std::memcpy(out, nul + 1, early);
  if (inflater.fill(out + early, header.size - early) != header.size - early) corrupt("shorter than its header says");
  char spare;
  if (!inflater.ended() && inflater.fill(&spare, 1) != 0) corrupt("longer than its header says");
  if (!inflater.ended()) corrupt("truncated");
  // git streams blobs and ignores what follows their end, but refuses it
  // after the other kinds.
  if (header.type != "blob" && inflater.inputLeft()) corrupt("garbage after its end");
  return header;
}

namespace {

// The backend record: libgit2's part first, so its pointer is ours.
struct Backend {
  git_odb_backend parent;
  std::vector<std::string> directories;
};

// The file's bytes, or nothing when no directory holds the object.
std::optional<std::string> readObjectFile(const Backend& backend, const git_oid* oid) {
  char hex[GIT_OID_HEXSZ + 1];
  git_oid_tostr(hex, sizeof hex, oid);
  for (const auto& directory : backend.directories) {
    const std::string path = directory + "/" + std::string(hex, 2) + "/" + (hex + 2);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      throw Error("cannot open " + path + ": open: " + std::strerror(errno));
    }
    struct stat info {};
    std::string bytes;
    if (::fstat(fd, &info) == 0 && info.st_size > 0) bytes.reserve(static_cast<size_t>(info.st_size));
    char chunk[65536];
    while (true) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int saved = errno;
        ::close(fd);
        throw Error("cannot read " + path + ": read: " + std::strerror(saved));
      }
      if (n == 0) break;
      bytes.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
  }
  return std::nullopt;
}

git_object_t objectType(const std::string& type) { return git_object_string2type(type.c_str()); }

// libgit2 calls these from C: an exception becomes its error and code.
template <class F> int guarded(const git_oid* oid, F&& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    char hex[GIT_OID_HEXSZ + 1];
    git_oid_tostr(hex, sizeof hex, oid);
    git_error_set_str(GIT_ERROR_ODB, (std::string(hex) + ": " + error.what()).c_str());
  } catch (...) {
    git_error_set_str(GIT_ERROR_ODB, "reading a loose object failed");
  }
  return GIT_ERROR;
}

int readObject(void** data, size_t* size, git_object_t* type, git_odb_backend* backend, const git_oid* oid) {
  return guarded(oid, [&]() -> int {
    auto& self = *reinterpret_cast<Backend*>(backend);
    auto file = readObjectFile(self, oid);
    if (!file) return GIT_PASSTHROUGH;
    // Freed here when the object turns out corrupt, by libgit2 otherwise.
    auto release = [backend](void* buffer) { git_odb_backend_data_free(backend, buffer); };
    std::unique_ptr<void, decltype(release)> buffer(nullptr, release);
    auto header = inflateLooseObject(*file, [&](size_t length) {
      // One spare byte: libgit2 ends object data with a NUL of its own.
      buffer.reset(git_odb_backend_data_alloc(backend, length + 1));
      if (!buffer) throw std::bad_alloc();
      static_cast<char*>(buffer.get())[length] = '\0';
      return static_cast<char*>(buffer.get());
    });
    *data = buffer.release();
    *size = header.size;
    *type = objectType(header.type);
    return 0;
  });
}

int readHeader(size_t* size, git_object_t* type, git_odb_backend* backend, const git_oid* oid) {
  return guarded(oid, [&]() -> int {
    auto file = readObjectFile(*reinterpret_cast<Backend*>(backend), oid);
    if (!file) return GIT_PASSTHROUGH;
    auto header = inflateLooseObject(*file, nullptr);
    *size = header.size;
    *type = objectType(header.type);
    return 0;
  });
}

int forEachObject(git_odb_backend*, git_odb_foreach_cb, void*) { return 0; } // libgit2's loose backend lists them

void freeBackend(git_odb_backend* backend) { delete reinterpret_cast<Backend*>(backend); }

// The object directory and, as git reads them, the alternates it lists,
// relative paths against the directory that lists them.
void addDirectory(std::vector<std::string>& directories, const std::string& directory, int depth) {
  if (depth > 5) return;
  for (const auto& known : directories)
    if (known == directory) return;
  directories.push_back(directory);
  const int fd = ::open((directory + "/info/alternates").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR);)
    if (n > 0) text.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    addDirectory(directories, line[0] == '/' ? line : directory + "/" + line, depth + 1);
  }
}

} // namespace

void installLooseObjectReader(git_repository* repo) {
  auto backend = std::make_unique<Backend>();
  check(git_odb_init_backend(&backend->parent, GIT_ODB_BACKEND_VERSION), "git_odb_init_backend");
  backend->parent.read = readObject;
  backend->parent.read_header = readHeader;
  backend->parent.foreach = forEachObject;
  backend->parent.free = freeBackend;
  std::string common = git_repository_commondir(repo);
  while (common.size() > 1 && common.back() == '/') common.pop_back();
  addDirectory(backend->directories, common + "/objects", 0);

  git_odb* odb = nullptr;
  check(git_repository_odb(&odb, repo), "git_repository_odb");
  // The packs' priority: they still answer first for what they hold, and
  // libgit2's loose backend (priority 1) is reached only for what this one
  // does not find.
  const int rc = git_odb_add_backend(odb, &backend->parent, 2);
  git_odb_free(odb);
  check(rc, "git_odb_add_backend");
  backend.release(); // the object database owns it now
}

} // namespace arbor::detail
