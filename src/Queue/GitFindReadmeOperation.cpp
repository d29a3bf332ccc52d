#include "tavrik/Queue/GitFindReadmeOperation.h"

#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <filesystem>

namespace tavrik {
namespace {

std::string lowercased(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string extensionOf(const std::string& name) {
  size_t dot = name.rfind('.');
  // "readme" has no extension; neither has ".md" (a hidden name).
  if (dot == std::string::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

} // namespace

std::optional<std::string> GitFindReadmeOperation::chooseReadme(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::vector<std::string> readmes, markdown;
  for (auto& name : names) {
    auto lower = lowercased(name);
    if (!lower.starts_with("readme")) continue;
    if (lowercased(extensionOf(name)) == "md") markdown.push_back(name);
    readmes.push_back(name);
  }
  for (const auto& name : markdown)
    if (lowercased(name) == "readme.md") return name;
  if (!markdown.empty()) return markdown.front();
  if (!readmes.empty()) return readmes.front();
  return std::nullopt;
}

std::optional<Url> GitFindReadmeOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor) return std::nullopt;

  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator it(descriptor->url.path(), error);
  if (error) throw TavrikError::fromErrno(error.value(), "opendir");
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    auto name = it->path().filename().string();
    if (!name.empty() && name.front() != '.') names.push_back(std::move(name));
  }
  if (error) throw TavrikError::fromErrno(error.value(), "readdir");

  auto chosen = chooseReadme(std::move(names));
  if (!chosen) return std::nullopt;
  return descriptor->url.appendingPathComponent(*chosen);
}

} // namespace tavrik
