#include "tavrik/State/GitViewReflogOperation.h"

#include "tavrik/Util/TavrikError.h"

#include <filesystem>

namespace tavrik {
namespace {

namespace fs = std::filesystem;

// Every regular file below `directory` for which `keep` holds, by its
// relative name with "/" separators.
template <class Keep> void collect(const std::string& directory, Keep keep, std::set<std::string>& names) {
  std::error_code ec;
  fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    // The path's native string is the file name's bytes, valid UTF-8 or not.
    auto name = it->path().lexically_relative(directory).generic_string();
    if (!name.empty() && keep(name)) names.insert(std::move(name));
  }
}

} // namespace

bool GitViewReflogOperation::isPerWorktree(std::string_view name) {
  return !name.starts_with("refs/") || name.starts_with("refs/bisect/") || name.starts_with("refs/worktree/") ||
         name.starts_with("refs/rewritten/");
}

GitReflogList GitViewReflogOperation::read(const GitRepositoryDescriptor& descriptor) {
  GitReflogList list;
  const auto gitLogs = descriptor.gitURL.appendingPathComponent("logs", true).path();
  const auto commonLogs = descriptor.logsURL().path();
  if (gitLogs == commonLogs) {
    collect(commonLogs, [](const std::string&) { return true; }, list.names);
    return list;
  }
  // A linked worktree: the common directory's HEAD and per-worktree logs are
  // the main worktree's, not this one's.
  collect(gitLogs, [](const std::string& name) { return isPerWorktree(name); }, list.names);
  collect(commonLogs, [](const std::string& name) { return !isPerWorktree(name); }, list.names);
  return list;
}

GitReflogList GitViewReflogOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor) throw TavrikError::invalidRepository();
  return read(*descriptor);
}

} // namespace tavrik
