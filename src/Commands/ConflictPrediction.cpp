#include "tavrik/Commands/ConflictPrediction.h"

#include "ConflictReplay.h"

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <charconv>

namespace tavrik {

std::string_view rawValue(GitConflictKind kind) {
  switch (kind) {
  case GitConflictKind::content: return "content";
  case GitConflictKind::addAdd: return "add/add";
  case GitConflictKind::modifyDelete: return "modify/delete";
  case GitConflictKind::renameRename: return "rename/rename";
  case GitConflictKind::directoryFile: return "directory/file";
  case GitConflictKind::other: return "other";
  }
  return "other";
}

std::optional<GitConflictKind> conflictKindFromRawValue(std::string_view raw) {
  for (auto kind : {GitConflictKind::content, GitConflictKind::addAdd, GitConflictKind::modifyDelete,
                    GitConflictKind::renameRename, GitConflictKind::directoryFile, GitConflictKind::other})
    if (rawValue(kind) == raw) return kind;
  return std::nullopt;
}

namespace {

TavrikError malformedMergeTree(const std::string& why) {
  return {"Unexpected output of git merge-tree", why};
}

// NUL-terminated fields; the last one may lack its terminator.
class Fields {
public:
  explicit Fields(std::string_view text) : text_(text) {}
  bool atEnd() const { return offset_ >= text_.size(); }
  std::string_view next() {
    if (atEnd()) throw malformedMergeTree("The output ends in the middle of a record.");
    auto end = text_.find('\0', offset_);
    if (end == std::string_view::npos) end = text_.size();
    auto field = text_.substr(offset_, end - offset_);
    offset_ = end + 1;
    return field;
  }

private:
  std::string_view text_;
  size_t offset_ = 0;
};

GitConflictKind conflictKind(std::string_view type, std::string_view message) {
  // merge-ort files add/add under "contents" and says which in the message.
  if (type == "CONFLICT (contents)")
    return message.starts_with("CONFLICT (add/add)") ? GitConflictKind::addAdd : GitConflictKind::content;
  if (type == "CONFLICT (modify/delete)") return GitConflictKind::modifyDelete;
  if (type == "CONFLICT (rename/rename)") return GitConflictKind::renameRename;
  if (type == "CONFLICT (file/directory)") return GitConflictKind::directoryFile;
  return GitConflictKind::other;
}

} // namespace

GitMergeTreeResult parseMergeTreeOutput(std::string_view output, bool clean) {
  GitMergeTreeResult result{.clean = clean};
  Fields fields(output);
  auto tree = Oid::parse(fields.next());
  if (!tree) throw malformedMergeTree("It does not begin with a tree id.");
  result.tree = *tree;
  // The conflicted paths run to an empty field (git names no empty path).
  while (!fields.atEnd()) {
    auto path = fields.next();
    if (path.empty()) break;
    result.conflictedPaths.emplace_back(path);
  }
  while (!fields.atEnd()) {
    auto countField = fields.next();
    size_t count = 0;
    auto [end, error] = std::from_chars(countField.data(), countField.data() + countField.size(), count);
    if (error != std::errc() || end != countField.data() + countField.size() || countField.empty())
      throw malformedMergeTree("A message does not begin with its number of paths.");
    std::vector<std::string> paths;
    for (size_t i = 0; i < count; ++i) paths.emplace_back(fields.next());
    auto type = fields.next();
    std::string_view message = fields.next();
    if (message.ends_with('\n')) message.remove_suffix(1);
    if (!type.starts_with("CONFLICT")) continue;
    result.conflicts.push_back({.kind = conflictKind(type, message),
                                .rawKind = std::string(type),
                                .paths = std::move(paths),
                                .message = std::string(message)});
  }
  return result;
}

namespace {

// One git run of the prediction: its raw standard output and exit status.
class PredictionStep : public GitExecOperation<std::string> {
public:
  PredictionStep(std::vector<std::string> args, std::set<int> statuses)
      : args_(std::move(args)), statuses_(std::move(statuses)) {}
  int status = 0;
  std::vector<std::string> arguments(GitOperationContext&) override { return args_; }
  std::set<int> successStatuses() const override { return statuses_; }
  void checkStatus(int exitStatus, const std::optional<std::string>& text) override {
    status = exitStatus;
    GitExecRunner::checkStatus(exitStatus, text);
  }
  std::map<std::string, std::string> environment(GitOperationContext& context) override {
    auto variables = GitExecRunner::environment(context);
    // The temporary commits need some identity and date; none is the user's.
    variables["GIT_AUTHOR_NAME"] = variables["GIT_COMMITTER_NAME"] = "Tavrik";
    variables["GIT_AUTHOR_EMAIL"] = variables["GIT_COMMITTER_EMAIL"] = "tavrik@localhost";
    variables["GIT_AUTHOR_DATE"] = variables["GIT_COMMITTER_DATE"] = "@0 +0000";
    return variables;
  }
  std::string execute(GitOperationContext& context) override {
    runCommand(context);
    return std::string(stdOutBuffer->data());
  }

private:
  std::vector<std::string> args_;
  std::set<int> statuses_;
};

} // namespace

std::string detail::runPredictionGit(GitOperationContext& context, std::vector<std::string> args) {
  return makeOperation<PredictionStep>(std::move(args), std::set<int>{0})->execute(context);
}

namespace {
using detail::resolveCommit;
using detail::temporaryCommit;

std::string runGit(GitOperationContext& context, std::vector<std::string> args) {
  return detail::runPredictionGit(context, std::move(args));
}

Oid parseOid(std::string_view text, const char* what) {
  auto oid = Oid::parse(trimmed(text));
  if (!oid) throw TavrikError(std::string("Unexpected output of git ") + what, std::string(text));
  return *oid;
}

// A commit to replay, its parents and the name git gives its side of the
// merge, "<short id> (<subject>)".
struct Listed {
  Oid commit = {};
  std::vector<Oid> parents = {};
  std::string label = {};
};

// rev-list of the commits, with the fields `Listed` needs.
std::vector<Listed> listCommits(GitOperationContext& context, std::vector<std::string> args) {
  std::vector<std::string> all{"rev-list", "--no-commit-header", "--format=%H %P%x00%h%x00%B%x00"};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back("--");
  auto output = runGit(context, std::move(all));
  auto fields = splitPieces(output, '\0');
  std::vector<Listed> listed;
  for (size_t i = 0; i + 2 < fields.size(); i += 3) {
    auto ids = fields[i];
    if (ids.starts_with('\n')) ids.remove_prefix(1);
    auto words = splitPieces(ids, ' ');
    Listed entry{.commit = parseOid(words.front(), "rev-list")};
    for (size_t w = 1; w < words.size(); ++w)
      if (!words[w].empty()) entry.parents.push_back(parseOid(words[w], "rev-list"));
    // The sequencer's subject: the message's first line after blank ones.
    auto message = fields[i + 2];
    while (message.starts_with('\n')) message.remove_prefix(1);
    entry.label = std::string(fields[i + 1]) + " (" + std::string(message.substr(0, message.find('\n'))) + ")";
    listed.push_back(std::move(entry));
  }
  return listed;
}

} // namespace

Oid detail::resolveCommit(GitOperationContext& context, const std::string& revision) {
  // Quiet, git fails without a word for a name of no commit, and with the
  // ends of a range ("A..B") for a range.
  auto step = makeOperation<PredictionStep>(
      std::vector<std::string>{"rev-parse", "--verify", "-q", "--end-of-options", revision + "^{commit}"},
      std::set<int>{0, 1});
  auto output = step->execute(context);
  auto oid = Oid::parse(trimmed(output));
  if (step->status != 0 || !oid) throw TavrikError("Unknown revision \"" + revision + "\"", "It names no single commit.");
  return *oid;
}

Oid detail::temporaryCommit(GitOperationContext& context, const std::string& tree, const std::vector<Oid>& parents) {
  std::vector<std::string> args{"-c", "commit.gpgSign=false", "commit-tree", "-m", "tavrik prediction"};
  for (const auto& parent : parents) {
    args.push_back("-p");
    args.push_back(parent.string());
  }
  args.push_back(tree);
  return parseOid(runGit(context, std::move(args)), "commit-tree");
}

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
}

// merge-tree names each side by its argument, where git's command names it
// by a label ("HEAD", "<short id> (<subject>)"): in the path a file moves to
// out of a directory's way ("f~HEAD", with "/" as "_") and in the messages.
void relabel(GitMergeTreeResult& result, const std::string& argument, const std::string& label) {
  std::string flat = label;
  std::replace(flat.begin(), flat.end(), '/', '_');
  const std::string from = "~" + argument, to = "~" + flat;
  for (auto& path : result.conflictedPaths) replaceAll(path, from, to);
  for (auto& conflict : result.conflicts) {
    for (auto& path : conflict.paths) replaceAll(path, from, to);
    replaceAll(conflict.message, from, to);
    replaceAll(conflict.message, argument, label);
  }
}

// A side of a merge: the commit merge-tree is given and git's label for it.
struct Side {
  std::string commit;
  std::string label;
};

GitMergeTreeResult mergeTree(GitOperationContext& context, const Side& ours, const Side& theirs, bool unrelated) {
  std::vector<std::string> args{"merge-tree", "--write-tree", "--name-only", "-z", "--messages"};
  if (unrelated) args.push_back("--allow-unrelated-histories");
  args.push_back(ours.commit);
  args.push_back(theirs.commit);
  auto step = makeOperation<PredictionStep>(std::move(args), std::set<int>{0, 1});
  auto output = step->execute(context);
  auto result = parseMergeTreeOutput(output, step->status == 0);
  if (ours.commit != ours.label) relabel(result, ours.commit, ours.label);
  if (theirs.commit != theirs.label) relabel(result, theirs.commit, theirs.label);
  return result;
}

// Replays `commits` onto `tip` as cherry-pick (or revert) would; the
// verdict of the first conflicting step, or clean with the final tree.
GitConflictPrediction replay(GitOperationContext& context, Oid tip, const std::vector<Listed>& commits, bool revert) {
  GitConflictPrediction prediction;
  for (const auto& entry : commits) prediction.commits.push_back(entry.commit);
  // `tip` stays a real commit while nothing has been rewritten; afterwards
  // only the tree reached counts.
  bool tipIsReal = true;
  std::string tree = tip.string() + "^{tree}";
  for (const auto& entry : commits) {
    if (entry.parents.size() > 1)
      throw TavrikError("Cannot predict a " + std::string(revert ? "revert" : "cherry-pick") + " of the merge " +
                            entry.commit.string(),
                        "Git needs a mainline parent to replay a merge commit.");
    GitMergeTreeResult result;
    if (revert) {
      auto parentTree = entry.parents.empty() ? std::string("4b825dc642cb6eb9a060e54bf8d69288fbee4904")
                                              : entry.parents.front().string() + "^{tree}";
      auto ours = temporaryCommit(context, tree, {entry.commit});
      auto theirs = temporaryCommit(context, parentTree, {entry.commit});
      result = mergeTree(context, {ours.string(), "HEAD"}, {theirs.string(), "parent of " + entry.label}, false);
    } else if (tipIsReal && entry.parents.size() == 1 && entry.parents.front() == tip) {
      tip = entry.commit;
      tree = tip.string() + "^{tree}";
      continue;
    } else {
      auto ours = temporaryCommit(context, tree, entry.parents);
      result = mergeTree(context, {ours.string(), "HEAD"}, {entry.commit.string(), entry.label}, entry.parents.empty());
    }
    tipIsReal = false;
    tree = result.tree.string();
    if (!result.clean) {
      prediction.clean = false;
      prediction.conflictingCommit = entry.commit;
      prediction.conflictedPaths = std::move(result.conflictedPaths);
      prediction.conflicts = std::move(result.conflicts);
      return prediction;
    }
  }
  prediction.tree = parseOid(runGit(context, {"rev-parse", "--verify", tree}), "rev-parse");
  return prediction;
}

std::vector<Listed> listGiven(GitOperationContext& context, const std::vector<Oid>& commits) {
  // rev-list without a revision is a usage error.
  if (commits.empty()) return {};
  std::vector<std::string> args{"--no-walk=unsorted"};
  for (const auto& commit : commits) args.push_back(commit.string());
  return listCommits(context, std::move(args));
}

} // namespace

GitConflictPrediction detail::predictCherryPicks(GitOperationContext& context, const Oid& onto,
                                                 const std::vector<Oid>& commits) {
  return replay(context, onto, listGiven(context, commits), false);
}

GitConflictPrediction GitConflictPredictionOperation::execute(GitOperationContext& context) {
  for (const auto& revision : revisions) TavrikError::refuseOptionLikeRevision(revision);
  const bool single = operation == GitPredictedOperation::merge || operation == GitPredictedOperation::rebase;
  if (revisions.empty() || (single && revisions.size() != 1))
    throw TavrikError("Invalid prediction", single ? "Name exactly one revision." : "Name at least one commit.");
  switch (operation) {
  case GitPredictedOperation::merge: {
    // HEAD goes to merge-tree by name: one rev-parse less on the way to the
    // one merge.
    auto theirs = resolveCommit(context, revisions.front());
    auto result = mergeTree(context, {"HEAD", "HEAD"}, {theirs.string(), revisions.front()}, false);
    GitConflictPrediction prediction{.clean = result.clean, .commits = {theirs}};
    if (result.clean) {
      prediction.tree = result.tree;
    } else {
      prediction.conflictingCommit = theirs;
      prediction.conflictedPaths = std::move(result.conflictedPaths);
      prediction.conflicts = std::move(result.conflicts);
    }
    return prediction;
  }
  case GitPredictedOperation::cherryPick:
  case GitPredictedOperation::revert: {
    std::vector<Oid> commits;
    for (const auto& revision : revisions) commits.push_back(resolveCommit(context, revision));
    return replay(context, resolveCommit(context, "HEAD"), listGiven(context, commits),
                  operation == GitPredictedOperation::revert);
  }
  case GitPredictedOperation::rebase: {
    auto upstream = resolveCommit(context, revisions.front());
    auto commits = listCommits(context, {"--reverse", "--right-only", "--cherry-pick", "--no-merges",
                                         "--topo-order", upstream.string() + "...HEAD"});
    return replay(context, upstream, commits, false);
  }
  }
  return {};
}

} // namespace tavrik
