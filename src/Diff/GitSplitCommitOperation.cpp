#include "tavrik/Diff/GitSplitCommitOperation.h"

#include "Commands/HistoryRewrite.h"
#include "tavrik/Diff/GitExecApplyOperation.h"
#include "tavrik/Diff/GitExecDiffOperation.h"
#include "tavrik/Util/StringUtilities.h"

#include <atomic>
#include <filesystem>
#include <unistd.h>

namespace tavrik {

namespace {

// An index of the operation's own in the git directory, removed with it; the
// user's index is never read or written.
class PrivateIndex {
public:
  explicit PrivateIndex(GitOperationContext& context) {
    static std::atomic<int> counter{0};
    auto name = "tavrik-split-index-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    path_ = trimmed(detail::runPredictionGit(context, {"rev-parse", "--path-format=absolute", "--git-path", name}));
  }
  ~PrivateIndex() {
    std::error_code error;
    std::filesystem::remove(path_, error);
  }
  PrivateIndex(const PrivateIndex&) = delete;
  PrivateIndex& operator=(const PrivateIndex&) = delete;
  std::map<std::string, std::string> variables() const { return {{"GIT_INDEX_FILE", path_}}; }
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

// Line staging's apply, into the private index.
class PrivateApply : public GitExecApplyOperation {
public:
  PrivateApply(GitExecApplyOptions options, std::string index)
      : GitExecApplyOperation(std::move(options)), index_(std::move(index)) {}
  std::map<std::string, std::string> environment(GitOperationContext& context) override {
    auto variables = GitExecApplyOperation::environment(context);
    variables["GIT_INDEX_FILE"] = index_;
    return variables;
  }

private:
  std::string index_;
};

// The commit's patch of the one file at `path`, numbered as line staging
// numbers it.
std::shared_ptr<GitDiff> commitPatchOf(GitOperationContext& context, const Oid& commit, const std::string& path,
                                       const std::string& name) {
  auto list = makeOperation<GitExecDiffOperation>(commit, false, std::vector<std::string>{path})->execute(context);
  std::shared_ptr<GitDiff> found;
  for (const auto& diff : list.diffs)
    if (diff->newFile.path == path || (!found && diff->oldFile.path == path)) found = diff;
  if (!found) throw detail::historyRefusal("split", name, "The commit does not change \"" + path + "\".");
  auto patch = makeOperation<GitExecDiffOperation>(*found, std::nullopt)->execute(context);
  for (const auto& diff : patch.diffs)
    if (diff->filePaths() == found->filePaths()) found->copyPatchData(*diff);
  return found;
}

} // namespace

GitSplitCommits GitSplitCommitOperation::execute(GitOperationContext& context) {
  const auto& name = options.commit;
  auto refuse = [&](const std::string& why) { return detail::historyRefusal("split", name, why); };
  if (options.paths.empty() == !options.lines)
    throw refuse("Select either paths or lines of one file for the first commit.");
  for (const auto& path : options.paths)
    if (path.empty()) throw refuse("An empty path selects nothing.");
  const auto checked = detail::checkBranchCommit(context, name, "split", options.allowPublished);
  const std::string emptyTree = "4b825dc642cb6eb9a060e54bf8d69288fbee4904";
  const auto baseTree = checked.parent ? trimmed(detail::runPredictionGit(
                                             context, {"rev-parse", checked.parent->string() + "^{tree}"}))
                                       : emptyTree;
  const auto fullTree =
      trimmed(detail::runPredictionGit(context, {"rev-parse", checked.commit.string() + "^{tree}"}));

  PrivateIndex index(context);
  detail::runRewriteGit(context, {"read-tree", baseTree}, std::nullopt, index.variables());
  if (options.lines) {
    auto diff = commitPatchOf(context, checked.commit, options.lines->path, name);
    std::set<size_t> keep;
    try {
      keep = options.lines->selection.indexes(diff->lines.size());
    } catch (const TavrikError& error) {
      throw refuse(error.failureReason.value_or("The line selection does not fit the patch."));
    }
    makeOperation<PrivateApply>(GitExecApplyOptions{.diff = diff, .cached = true, .keepLines = std::move(keep)},
                                index.path())
        ->execute(context);
  } else {
    std::vector<std::string> args{"--literal-pathspecs", "restore", "--source=" + checked.commit.string(),
                                  "--staged", "--"};
    args.insert(args.end(), options.paths.begin(), options.paths.end());
    detail::runRewriteGit(context, std::move(args), std::nullopt, index.variables());
  }
  const auto firstTree = trimmed(detail::runRewriteGit(context, {"write-tree"}, std::nullopt, index.variables()));
  if (firstTree == baseTree) throw refuse("The selection takes none of the commit's changes.");
  if (firstTree == fullTree) throw refuse("The selection takes all of the commit's changes.");

  std::vector<Oid> parents;
  if (checked.parent) parents.push_back(*checked.parent);
  GitSplitCommits result;
  result.first = detail::recommit(context, signingAuth, checked.commit, firstTree, parents);
  result.second = detail::recommit(context, signingAuth, checked.commit, fullTree, {result.first}, options.secondMessage);
  // Nothing below the commits above changed, so each keeps its tree.
  Oid tip = result.second;
  auto above = detail::runPredictionGit(
      context, {"rev-list", "--reverse", "--topo-order", checked.head.string(), "--not", checked.commit.string(), "--"});
  for (auto line : splitPieces(above, '\n'))
    if (auto oid = Oid::parse(line)) tip = detail::recommit(context, signingAuth, *oid, oid->string() + "^{tree}", {tip});
  detail::updateRefLeased(context, checked.headRef, tip, checked.head, "tavrik split: " + checked.commit.string());
  result.head = tip;
  return result;
}

} // namespace tavrik
