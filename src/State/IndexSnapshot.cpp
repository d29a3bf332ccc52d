#include "State/IndexSnapshot.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
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

bool readFully(int fd, char* into, size_t size, off_t offset) {
  while (size) {
    ssize_t n = ::pread(fd, into, size, offset);
    if (n <= 0) return false;
    into += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
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

std::shared_ptr<const IndexSnapshot> IndexSnapshot::open(const std::string& path) {
  std::shared_ptr<IndexSnapshot> snapshot(new IndexSnapshot());
  snapshot->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (snapshot->fd_ < 0 || ::fstat(snapshot->fd_, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size < static_cast<off_t>(kHeaderSize + kChecksumSize))
    return nullptr;
  snapshot->identity_ = identityOf(info);
  snapshot->modifiedSeconds_ = info.st_mtim.tv_sec;
  snapshot->modifiedNanosecondsPart_ = static_cast<uint32_t>(info.st_mtim.tv_nsec);
  const size_t size = static_cast<size_t>(info.st_size);
  std::string content(size, '\0');
  if (!readFully(snapshot->fd_, content.data(), size, 0)) return nullptr;
  auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  if (std::memcmp(bytes, "DIRC", 4) != 0) return nullptr;
  snapshot->version_ = static_cast<int>(word(bytes + 4));
  if (snapshot->version_ != 2 && snapshot->version_ != 3) return nullptr;
  const uint32_t count = word(bytes + 8);
  const size_t end = size - kChecksumSize;
  // Entries are found by 32-bit offsets; a larger file is left to git. The
  // count is the file's word: no more entries than fit are reserved.
  if (size > UINT32_MAX) return nullptr;
  snapshot->offsets_.reserve(std::min<size_t>(count, (end - kHeaderSize) / kFixedSize));
  size_t at = kHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + kFixedSize > end) return nullptr;
    const uint16_t flags = half(bytes + at + kFixedSize - 2);
    size_t nameAt = at + kFixedSize;
    if (flags & kExtended) {
      if (snapshot->version_ < 3) return nullptr;
      nameAt += 2;
    }
    size_t length = flags & kNameMask;
    if (length == kNameMask) {
      auto* nul = static_cast<const unsigned char*>(std::memchr(bytes + nameAt, 0, end - std::min(end, nameAt)));
      if (!nul) return nullptr;
      length = static_cast<size_t>(nul - (bytes + nameAt));
    }
    snapshot->offsets_.push_back(static_cast<uint32_t>(at));
    at = at + ((nameAt - at + length + 8) & ~size_t(7));
    if (at > end) return nullptr;
  }
  // Extensions: a split index keeps its entries elsewhere.
  while (at + 8 <= end) {
    if (std::memcmp(bytes + at, "link", 4) == 0) return nullptr;
    at += size_t{8} + word(bytes + at + 4);
  }
  return snapshot;
}

bool IndexSnapshot::readEntry(uint32_t offset, std::string& path, IndexEntry* entry) const {
  unsigned char head[kFixedSize + 2 + 256];
  ssize_t got = ::pread(fd_, head, sizeof head, offset);
  if (got < static_cast<ssize_t>(kFixedSize)) return false;
  const uint16_t flags = half(head + kFixedSize - 2);
  size_t nameAt = kFixedSize;
  uint16_t extended = 0;
  if (flags & kExtended) {
    if (got < static_cast<ssize_t>(kFixedSize + 2)) return false;
    extended = half(head + kFixedSize);
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
  if (entry) {
    uint32_t* fields[] = {&entry->ctimeSeconds, &entry->ctimeNanoseconds, &entry->mtimeSeconds,
                          &entry->mtimeNanoseconds, &entry->device, &entry->inode, &entry->mode, &entry->uid,
                          &entry->gid, &entry->size};
    for (size_t i = 0; i < std::size(fields); ++i) *fields[i] = word(head + 4 * i);
    entry->oid = arbor::Oid::fromRaw(head + 40);
    entry->stage = (flags >> 12) & 3;
    entry->assumeValid = flags & kAssumeValid;
    entry->skipWorktree = extended & kSkipWorktree;
    entry->intentToAdd = extended & kIntentToAdd;
  }
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
