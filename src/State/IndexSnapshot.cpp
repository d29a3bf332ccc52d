#include "State/IndexSnapshot.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrik::detail {

namespace {

constexpr size_t kHeaderSize = 12, kChecksumSize = 20;
// The fixed part: ten stat words, the id and the flags.
constexpr size_t kFixedSize = 40 + arbor::Oid::kSize + 2;
constexpr uint16_t kNameMask = 0x0FFF, kExtended = 0x4000, kAssumeValid = 0x8000;
constexpr uint16_t kSkipWorktree = 0x4000, kIntentToAdd = 0x2000;
// Longer paths than this are left to git.
constexpr size_t kMaxPath = 65536;

uint32_t word(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint16_t half(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

IndexFileIdentity identityOf(const struct stat& info) {
  IndexFileIdentity identity;
  identity.size = info.st_size;
  identity.modifiedNanoseconds = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
  identity.changedNanoseconds = static_cast<long long>(info.st_ctim.tv_sec) * 1000000000LL + info.st_ctim.tv_nsec;
  identity.inode = info.st_ino;
  return identity;
}

} // namespace

std::optional<IndexFileIdentity> indexFileIdentity(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return identityOf(info);
}

IndexSnapshot::~IndexSnapshot() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// The version and the offset of every entry of the index file `content`;
// false for a file this reader leaves to git.
bool parseLayout(std::string_view content, int& version, std::vector<uint32_t>& offsets) {
  const size_t size = content.size();
  auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  if (size < kHeaderSize + kChecksumSize || std::memcmp(bytes, "DIRC", 4) != 0) return false;
  version = static_cast<int>(word(bytes + 4));
  if (version != 2 && version != 3) return false;
  const uint32_t count = word(bytes + 8);
  const size_t end = size - kChecksumSize;
  // Entries are found by 32-bit offsets; a larger file is left to git. The
  // count is the file's word: no more entries than fit are reserved.
  if (size > UINT32_MAX) return false;
  offsets.reserve(std::min<size_t>(count, (end - kHeaderSize) / kFixedSize));
  size_t at = kHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + kFixedSize > end) return false;
    const uint16_t flags = half(bytes + at + kFixedSize - 2);
    size_t nameAt = at + kFixedSize;
    if (flags & kExtended) {
      if (version < 3) return false;
      nameAt += 2;
    }
    size_t length = flags & kNameMask;
    if (length == kNameMask) {
      auto* nul = static_cast<const unsigned char*>(std::memchr(bytes + nameAt, 0, end - std::min(end, nameAt)));
      if (!nul) return false;
      length = static_cast<size_t>(nul - (bytes + nameAt));
    }
    offsets.push_back(static_cast<uint32_t>(at));
    at = at + ((nameAt - at + length + 8) & ~size_t(7));
    if (at > end) return false;
  }
  // Extensions: one git must understand is named in lower case, as a split
  // index ("link", its entries kept elsewhere) and a sparse one ("sdir",
  // folders as entries) are.
  while (at + 8 <= end) {
    if (bytes[at] >= 'a' && bytes[at] <= 'z') return false;
    at += size_t{8} + word(bytes + at + 4);
  }
  return true;
}

// The fields of the entry at `head`, whose fixed part is all there; returns
// where its name starts.
size_t decodeEntry(const unsigned char* head, IndexEntry& entry) {
  const uint16_t flags = half(head + kFixedSize - 2);
  const uint16_t extended = flags & kExtended ? half(head + kFixedSize) : 0;
  uint32_t* fields[] = {&entry.ctimeSeconds, &entry.ctimeNanoseconds, &entry.mtimeSeconds, &entry.mtimeNanoseconds,
                        &entry.device,       &entry.inode,            &entry.mode,         &entry.uid,
                        &entry.gid,          &entry.size};
  for (size_t i = 0; i < std::size(fields); ++i) *fields[i] = word(head + 4 * i);
  entry.oid = arbor::Oid::fromRaw(head + 40);
  entry.stage = (flags >> 12) & 3;
  entry.assumeValid = flags & kAssumeValid;
  entry.skipWorktree = extended & kSkipWorktree;
  entry.intentToAdd = extended & kIntentToAdd;
  return flags & kExtended ? kFixedSize + 2 : kFixedSize;
}

// The file open as `fd`, mapped read-only, as git maps an index: reading it
// into fresh memory costs more than the parse on a large index (every page
// zeroed, copied and faulted in). git replaces an index by renaming a new
// file over it, so the mapped bytes stay as they are.
class MappedFile {
public:
  MappedFile(int fd, struct stat& info) {
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return;
    void* at = ::mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (at == MAP_FAILED) return;
    at_ = at;
    size_ = static_cast<size_t>(info.st_size);
  }
  ~MappedFile() {
    if (at_) ::munmap(at_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  /// Empty when the file could not be mapped.
  std::string_view bytes() const { return {static_cast<const char*>(at_), at_ ? size_ : 0}; }

private:
  void* at_ = nullptr;
  size_t size_ = 0;
};

} // namespace

std::shared_ptr<const IndexSnapshot> IndexSnapshot::open(const std::string& path) {
  std::shared_ptr<IndexSnapshot> snapshot(new IndexSnapshot());
  snapshot->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  MappedFile file(snapshot->fd_, info);
  if (!parseLayout(file.bytes(), snapshot->version_, snapshot->offsets_)) return nullptr;
  snapshot->identity_ = identityOf(info);
  snapshot->modifiedSeconds_ = info.st_mtim.tv_sec;
  snapshot->modifiedNanosecondsPart_ = static_cast<uint32_t>(info.st_mtim.tv_nsec);
  return snapshot;
}

bool IndexSnapshot::forEachEntry(const std::string& path,
                                 const std::function<void(std::string_view, const IndexEntry&)>& visit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  MappedFile file(fd, info);
  if (fd >= 0) ::close(fd); // the mapping stays
  int version = 0;
  std::vector<uint32_t> offsets;
  if (!parseLayout(file.bytes(), version, offsets)) return false;
  auto* bytes = reinterpret_cast<const unsigned char*>(file.bytes().data());
  IndexEntry entry;
  for (uint32_t offset : offsets) {
    // parseLayout checked that each entry and its name lie in the file.
    const unsigned char* head = bytes + offset;
    const size_t nameAt = decodeEntry(head, entry);
    size_t length = half(head + kFixedSize - 2) & kNameMask;
    if (length == kNameMask) length = std::strlen(reinterpret_cast<const char*>(head + nameAt));
    visit(std::string_view(reinterpret_cast<const char*>(head + nameAt), length), entry);
  }
  return true;
}

bool IndexSnapshot::readEntry(uint32_t offset, std::string& path, IndexEntry* entry) const {
  unsigned char head[kFixedSize + 2 + 256];
  ssize_t got = ::pread(fd_, head, sizeof head, offset);
  if (got < static_cast<ssize_t>(kFixedSize)) return false;
  const uint16_t flags = half(head + kFixedSize - 2);
  size_t nameAt = kFixedSize;
  if (flags & kExtended) {
    if (got < static_cast<ssize_t>(kFixedSize + 2)) return false;
    nameAt += 2;
  }
  size_t length = flags & kNameMask;
  if (length < kNameMask && nameAt + length <= static_cast<size_t>(got)) {
    path.assign(reinterpret_cast<const char*>(head + nameAt), length);
  } else {
    path.resize(length < kNameMask ? length : kMaxPath);
    ssize_t read = ::pread(fd_, path.data(), path.size(), static_cast<off_t>(offset + nameAt));
    if (read < 0) return false;
    path.resize(static_cast<size_t>(read));
    if (length == kNameMask) {
      size_t nul = path.find('\0');
      if (nul == std::string::npos) return false;
      path.resize(nul);
    } else if (path.size() != length) {
      return false;
    }
  }
  if (entry) decodeEntry(head, *entry);
  return true;
}

std::optional<size_t> IndexSnapshot::lowerBound(std::string_view path) const {
  // The index is sorted by path bytes (unsigned), then stage.
  size_t low = 0, high = offsets_.size();
  std::string name;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (!readEntry(offsets_[middle], name, nullptr)) return std::nullopt;
    if (std::string_view(name) < path)
      low = middle + 1;
    else
      high = middle;
  }
  return low;
}

std::optional<bool> IndexSnapshot::hasEntriesUnder(std::string_view folder) const {
  auto first = lowerBound(folder);
  if (!first) return std::nullopt;
  if (*first == offsets_.size()) return false;
  std::string name;
  if (!readEntry(offsets_[*first], name, nullptr)) return std::nullopt;
  return name.starts_with(folder);
}

std::optional<std::vector<IndexEntry>> IndexSnapshot::lookup(std::string_view path) const {
  auto low = lowerBound(path);
  if (!low) return std::nullopt;
  std::string name;
  std::vector<IndexEntry> entries;
  for (size_t i = *low; i < offsets_.size(); ++i) {
    IndexEntry entry;
    if (!readEntry(offsets_[i], name, &entry)) return std::nullopt;
    if (name != path) break;
    entries.push_back(entry);
  }
  return entries;
}

} // namespace tavrik::detail
