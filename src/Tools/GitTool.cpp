#include "tavrik/Tools/GitTool.h"

#include "tavrik/Util/HashCombine.h"

#include <cctype>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <system_error>

namespace tavrik {

namespace {

namespace fs = std::filesystem;

// Every tool is configured under one name of our own, so a user's settings
// for git's built-in tools of the same name never mix with ours.
constexpr const char* kToolname = "vantry";

GitToolCommand diffCommand(std::string script, std::optional<std::string> path) {
  return {kToolname, std::nullopt, std::move(path), std::nullopt, std::nullopt, std::move(script)};
}

GitToolCommand mergeCommand(std::string script) {
  return {kToolname, std::nullopt, std::nullopt, true, std::nullopt, std::move(script)};
}

GitTool tool(std::string name, std::string path, std::string diffScript, std::string mergeScript,
             std::optional<std::string> diffPath, bool directoryDiff) {
  return {std::move(name), std::move(path), diffCommand(std::move(diffScript), std::move(diffPath)),
          mergeCommand(std::move(mergeScript)), directoryDiff};
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool isDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// The folder of the loaded file that holds this function: the shared library
// when the engine is one, else the program it is linked into.
std::optional<fs::path> engineBinaryFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&engineBinaryFolder), &info) == 0 || !info.dli_fname) return std::nullopt;
  fs::path file(info.dli_fname);
  // For the main program glibc may report argv[0], which need not be a path.
  if (!file.is_absolute()) return std::nullopt;
  return file.parent_path();
}

std::optional<fs::path> programFolder() {
  std::error_code ec;
  auto self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return self.parent_path();
}

} // namespace

Url GitTool::fileURL() const { return path ? Url::fileURL(*path, true) : Url(); }

bool GitTool::isInstalled() const {
  if (!path || path->empty()) return false;
  std::error_code ec;
  return fs::exists(*path, ec);
}

const std::vector<GitTool>& GitTool::all() {
  static const std::vector<GitTool> tools{
      tool("Araxis Merge", "/Applications/Araxis Merge.app", "mergetools/araxis-diff", "mergetools/araxis-merge",
           "", true),
      tool("Beyond Compare", "/Applications/Beyond Compare.app", "mergetools/bcomp-diff", "mergetools/bcomp-merge",
           std::nullopt, true),
      tool("FileMerge", "/Applications/Xcode.app/Contents/Applications/FileMerge.app", "mergetools/filemerge-diff",
           "mergetools/filemerge-merge", "", true),
      tool("Kaleidoscope", "/Applications/Kaleidoscope.app", "mergetools/ksdiff-diff", "mergetools/ksdiff-merge", "",
           true),
      tool("P4Merge", "/Applications/p4merge.app", "mergetools/p4merge-diff", "mergetools/p4merge-merge", "", false),
      tool("Meld", "/usr/bin/meld", "mergetools/meld-diff", "mergetools/meld-merge", std::nullopt, true),
      tool("KDiff3", "/usr/bin/kdiff3", "mergetools/kdiff3-diff", "mergetools/kdiff3-merge", std::nullopt, true),
  };
  return tools;
}

std::optional<GitTool> GitTool::by(std::string_view name) {
  for (const auto& t : all())
    if (equalIgnoringCase(t.name, name)) return t;
  return std::nullopt;
}

std::optional<Url> GitTool::sharedSupportURL() {
  if (const char* chosen = std::getenv("TAVRIK_SHARED_SUPPORT"); chosen && *chosen) {
    if (!isDirectory(chosen)) return std::nullopt;
    return Url::fileURL(chosen, true);
  }
  std::vector<fs::path> candidates;
  for (const auto& folder : {engineBinaryFolder(), programFolder()})
    if (folder) candidates.push_back(*folder / ".." / "share" / "tavrik");
#ifdef TAVRIK_INSTALLED_SHARED_SUPPORT_DIR
  // A program that links the static library from elsewhere than the prefix.
  candidates.emplace_back(TAVRIK_INSTALLED_SHARED_SUPPORT_DIR);
#endif
#ifdef TAVRIK_BUILD_SHARED_SUPPORT_DIR
  candidates.emplace_back(TAVRIK_BUILD_SHARED_SUPPORT_DIR);
#endif
  for (const auto& candidate : candidates)
    if (isDirectory(candidate)) return Url::fileURL(candidate.string(), true);
  return std::nullopt;
}

} // namespace tavrik

size_t std::hash<tavrik::GitToolCommand>::operator()(const tavrik::GitToolCommand& c) const noexcept {
  return tavrik::detail::hashFields(c.toolname, c.cmd, c.path, c.trustExitCode, c.prompt, c.sharedSupportScript);
}
