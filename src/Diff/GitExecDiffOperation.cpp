#include "tavrik/Diff/GitExecDiffOperation.h"

#include "tavrik/Diff/GitBlobCache.h"
#include "tavrik/Util/TavrikError.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrik {

GitExecDiffOperation::GitExecDiffOperation(GitExecDiffOptions options)
    : raw(options.raw), cached(options.cached), ours(options.ours), firstParent(options.firstParent),
      paths(std::move(options.paths)), commit(options.commit), imageBlobs(options.imageBlobs),
      contextLines(options.contextLines) {}

GitExecDiffOperation::GitExecDiffOperation(Oid commit, bool firstParent, std::vector<std::string> paths)
    : GitExecDiffOperation({.firstParent = firstParent, .paths = std::move(paths), .commit = commit}) {}

GitExecDiffOperation::GitExecDiffOperation(const GitDiff& patchFor, std::optional<int> contextLines)
    : GitExecDiffOperation({.raw = false,
                            .cached = patchFor.cached,
                            .ours = patchFor.ours,
                            .firstParent = patchFor.firstParent,
                            .paths = patchFor.filePaths(),
                            .commit = patchFor.commit,
                            .imageBlobs = ImageBlobs{patchFor.oldImageBlob(), patchFor.newImageBlob()},
                            .contextLines = contextLines}) {}

std::vector<std::string> GitExecDiffOperation::arguments(GitOperationContext&) {
  // Pinned against the user's configuration, which would otherwise change
  // what the parsers read: other path prefixes (or none), an empty line for
  // blank context, submodule logs instead of their ids, paths relative to a
  // folder, gpg's report before a commit's patch, a root commit without its
  // patch, combined diffs of merges. Text conversion would show lines that
  // cannot be staged.
  std::vector<std::string> args{"-c", "diff.noprefix=false",   "-c", "diff.mnemonicPrefix=false",
                                "-c", "diff.suppressBlankEmpty=false", "-c", "diff.submodule=short",
                                "-c", "diff.relative=false",   "-c", "log.showSignature=false",
                                "-c", "log.showRoot=true",     "-c", "log.diffMerges=first-parent"};
  if (commit) args.insert(args.end(), {"log", "-1", "--pretty=format:"});
  else args.insert(args.end(), {"diff", "-M", "-C"});
  if (raw) args.insert(args.end(), {"--raw", "--numstat"});
  else args.push_back("-p");
  args.insert(args.end(), {"-z", "--no-abbrev", "--no-color", "--no-ext-diff", "--full-index", "--no-textconv"});
  if (ours) args.push_back("--ours");
  if (firstParent) args.insert(args.end(), {"-m", "--first-parent"});
  if (contextLines) args.push_back("-U" + std::to_string(*contextLines));
  if (cached) args.push_back("--cached");
  if (commit) args.push_back(commit->string());
  // Always after a commit, so a file named like it cannot make it ambiguous.
  if (commit || !paths.empty()) args.push_back("--");
  args.insert(args.end(), paths.begin(), paths.end());
  return args;
}

std::map<std::string, std::string> GitExecDiffOperation::environment(GitOperationContext& context) {
  auto variables = GitExecRunner::environment(context);
  if (!paths.empty()) variables["GIT_LITERAL_PATHSPECS"] = "1";
  if (!indexCopy_.empty()) variables["GIT_INDEX_FILE"] = indexCopy_;
  return variables;
}

namespace {

// A copy of the repository's index in the temporary folder, removed (with
// the lock git takes beside it) when the scope ends; none without an index.
class PrivateIndex {
public:
  explicit PrivateIndex(const GitRepositoryDescriptor* descriptor) {
    namespace fs = std::filesystem;
    if (!descriptor) return;
    std::error_code ec;
    const fs::path index = descriptor->gitURL.appendingPathComponent("index").path();
    if (!fs::is_regular_file(index, ec)) return;
    std::string pattern = (fs::temp_directory_path(ec) / "tavrik-index-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw TavrikError::fromErrno(errno, "mkstemp");
    close(fd);
    path_ = pattern;
    fs::copy_file(index, path_, fs::copy_options::overwrite_existing, ec);
    if (ec) throw TavrikError::fromErrno(ec.value(), "copy_file " + index.string());
    // git trusts an entry's stat data only when the file is older than the
    // index itself; a copy with a newer time would hide a file changed in the
    // same second as the index was written.
    struct stat original {};
    if (::stat(index.c_str(), &original) != 0) throw TavrikError::fromErrno(errno, "stat " + index.string());
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    if (::utimensat(AT_FDCWD, path_.c_str(), times, 0) != 0) throw TavrikError::fromErrno(errno, "utimensat " + path_);
  }
  ~PrivateIndex() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    std::filesystem::remove(path_ + ".lock", ec);
  }
  PrivateIndex(const PrivateIndex&) = delete;
  PrivateIndex& operator=(const PrivateIndex&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

} // namespace

GitDiffList GitExecDiffOperation::execute(GitOperationContext& context) {
  if (contextLines && *contextLines < 0)
    throw TavrikError("Invalid context", "The number of context lines cannot be negative.");
  {
    std::optional<PrivateIndex> index;
    if (!commit && !cached) index.emplace(context.effectiveDescriptor());
    indexCopy_ = index ? index->path() : std::string();
    try {
      runCommand(context);
    } catch (...) {
      indexCopy_.clear();
      throw;
    }
    indexCopy_.clear();
  }
  if (raw) return GitDiffList(true, GitDiff::parseRaw(*stdOutBuffer, cached, ours, firstParent, true, commit)).removingUnmerged();

  auto diffs = GitDiff::parsePatch(*stdOutBuffer, cached, ours, firstParent, commit);
  if (imageBlobs) {
    auto load = [&](const Oid& oid) { return oid.isZero() ? GitBlob::zero() : GitBlobCache::shared().loadBlob(oid, context); };
    auto oldBlob = load(imageBlobs->old);
    auto newBlob = load(imageBlobs->new_);
    for (auto& diff : diffs) {
      diff->oldFile.blob = oldBlob;
      diff->newFile.blob = newBlob;
    }
  }
  return GitDiffList(false, std::move(diffs)).removingUnmerged();
}

} // namespace tavrik
