// Lays out in-progress markers in a scratch git directory as the fuzz bytes
// say (absent, a file with some content, or a directory), reads them back
// and checks the decision against the markers actually present, and that
// every file's bytes come back unchanged, UTF-8 or not.
#include "FuzzSupport.h"
#include "tavrik/State/GitStateFile.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using tavrik::GitStateFileType;

namespace {
const fs::path& scratch() {
  static const fs::path dir = tavrik::fuzz::makeScratchFolder("statefuzz");
  return dir;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavrik::setLogSink([](tavrik::LogLevel, std::string_view, std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& dir = scratch();
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);

  std::map<GitStateFileType, std::string> written;
  size_t pos = 0;
  auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
  // One byte per marker: 0 absent, 1 file, 2 directory; a file's content
  // length and bytes follow.
  for (auto type : tavrik::kAllGitStateFileTypes) {
    std::string rel(tavrik::rawValue(type));
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    const fs::path path = dir / rel;
    const uint8_t kind = next() % 3;
    if (kind == 0) continue;
    fs::create_directories(path.parent_path(), ec);
    if (ec) continue;  // the parent is a file: the marker cannot exist
    if (kind == 2) {
      fs::create_directory(path, ec);
    } else if (!fs::exists(path, ec)) {
      const uint8_t len = next() % 16;
      std::string content;
      for (uint8_t i = 0; i < len; ++i) content.push_back(char(next()));
      std::ofstream(path, std::ios::binary) << content;
      written[type] = content;
    }
  }

  auto set = tavrik::GitStateFileSet::read(tavrik::Url::fileURL(dir.string(), true));
  // Every member is present on disk with the right kind.
  for (const auto& f : set.set) {
    std::string rel(tavrik::rawValue(f.type));
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    if (fs::is_directory(dir / rel) != tavrik::isDirectory(f.type)) std::abort();
    if (tavrik::isDirectory(f.type) && f.content) std::abort();
    if (written.count(f.type) && (f.content != written[f.type] || f.contentString() != f.content)) std::abort();
  }
  if (written.count(GitStateFileType::MERGE_MSG_FILE) && set.editMessage() != written[GitStateFileType::MERGE_MSG_FILE])
    std::abort();
  // The decision only depends on which markers are present.
  std::vector<tavrik::GitStateFile> bare;
  for (const auto& f : set.set) bare.push_back({f.type, std::nullopt});
  if (tavrik::GitStateFileSet::fromFiles(bare).state != set.state) std::abort();
  return 0;
}
