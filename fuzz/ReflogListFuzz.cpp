// Lays out reflog files in a scratch repository as the fuzz bytes say, in a
// main repository or a linked worktree, names that are not UTF-8 among them,
// and checks that the reader lists exactly the files git keeps for that
// worktree: the per-worktree ones from its own directory, the shared ones
// from the common directory.
#include "FuzzSupport.h"
#include "tavrik/State/GitViewReflogOperation.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

using tavrik::fuzz::check;

namespace {

const fs::path& scratch() {
  static const fs::path dir = tavrik::fuzz::makeScratchFolder("reflogfuzz");
  return dir;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tavrik::setLogSink([](tavrik::LogLevel, std::string_view, std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tavrik::GitViewReflogOperation;
  const fs::path& dir = scratch();
  std::error_code ec;
  for (auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
  size_t pos = 0;
  auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };

  const bool linked = next() & 1;
  const fs::path common = dir / "common", own = linked ? common / "worktrees" / "w" : common;
  fs::create_directories(own / "logs", ec);
  fs::create_directories(common / "logs", ec);
  // Each name: a byte for where (own or common directory), a length, then
  // the bytes; "/" makes folders, NUL and empty pieces are left out.
  std::set<std::string> expected;
  while (pos < size) {
    const bool inOwn = next() & 1;
    const uint8_t length = next() % 24;
    std::string name;
    for (uint8_t i = 0; i < length; ++i) name.push_back(char(next()));
    if (name.find('\0') != std::string::npos || name.empty() || name.front() == '/' || name.back() == '/' ||
        name.find("//") != std::string::npos)
      continue;
    bool dots = false;
    for (size_t start = 0; start <= name.size();) {
      size_t end = std::min(name.find('/', start), name.size());
      auto piece = name.substr(start, end - start);
      dots = dots || piece == "." || piece == "..";
      start = end + 1;
    }
    if (dots) continue;
    const fs::path path = (inOwn ? own : common) / "logs" / name;
    fs::create_directories(path.parent_path(), ec);
    if (ec || fs::exists(path, ec)) continue;
    std::ofstream(path, std::ios::binary) << "x";
    if (!fs::is_regular_file(path, ec)) continue;
    if (!linked || inOwn == GitViewReflogOperation::isPerWorktree(name)) expected.insert(name);
  }
  tavrik::GitRepositoryDescriptor descriptor;
  descriptor.url = tavrik::Url::fileURL(dir.string(), true);
  descriptor.gitURL = tavrik::Url::fileURL(own.string(), true);
  descriptor.commonURL = tavrik::Url::fileURL(common.string(), true);
  check(GitViewReflogOperation::read(descriptor).names == expected);
  return 0;
}
