// Feeds arbitrary bytes to the index reader as an index file, lists every
// entry, then looks up every path it listed and a few it did not: reading
// must end with a snapshot or none, and a lookup with entries or none, never
// crash, hang or read out of bounds.
#include "FuzzSupport.h"
#include "State/IndexSnapshot.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const std::filesystem::path& indexFile() {
  static const std::filesystem::path path = tavrik::fuzz::makeScratchFolder("index-fuzz") / "index";
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::ofstream(indexFile(), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  size_t pathBytes = 0;
  (void)tavrik::detail::IndexSnapshot::forEachEntry(
      indexFile().string(), [&](std::string_view path, const tavrik::detail::IndexEntry&) { pathBytes += path.size(); });
  const auto snapshot = tavrik::detail::IndexSnapshot::open(indexFile().string());
  if (!snapshot) return 0;
  // Paths cut from the input itself reach the entries a mutation made.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (size_t at = 0; at < bytes.size(); at += 61) (void)snapshot->lookup(std::string_view(bytes).substr(at, 12));
  for (const char* path : {"", "a", "a/b", "file", "\xff"}) (void)snapshot->lookup(path);
  return 0;
}
