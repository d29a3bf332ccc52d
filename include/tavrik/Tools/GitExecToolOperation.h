// Opens changes in an external comparison tool through git difftool or, for
// conflicted files, git mergetool. The tool's launch settings are passed as
// "-c" options for this run only, so the user's configuration is never
// written. What is compared comes from a `Source`:
//
//   auto op = GitExecToolOperation::named(GitExecToolSource::status(view.status->entries), false, "Meld");
//   op->enqueue(queue);
//
// Conflicted status entries start a merge of those files; other entries, a
// commit and its parent, or a reference against HEAD start a diff.
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/State/GitStatusEntry.h"
#include "tavrik/Tools/GitTool.h"

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavrik {

/// What the tool compares.
struct GitExecToolSource {
  /// Working-tree changes of these entries.
  struct Status {
    std::vector<GitStatusEntry> entries;
    bool operator==(const Status&) const = default;
  };
  /// A commit against its parent: `range.first` is the commit (its parent is
  /// the left side), `range.second` the right side.
  struct Commit {
    std::pair<Oid, Oid> range;
    bool operator==(const Commit&) const = default;
  };
  /// A reference (or revision) against HEAD.
  struct RefToHead {
    std::string refname;
    bool operator==(const RefToHead&) const = default;
  };

  std::variant<Status, Commit, RefToHead> value;

  static GitExecToolSource status(std::vector<GitStatusEntry> entries) { return {Status{std::move(entries)}}; }
  static GitExecToolSource commit(std::pair<Oid, Oid> range) { return {Commit{std::move(range)}}; }
  static GitExecToolSource refToHead(std::string refname) { return {RefToHead{std::move(refname)}}; }

  bool operator==(const GitExecToolSource&) const = default;
};

/// What a tool run compares and with which commands. `difftool` and
/// `mergetool` unset leave git's own configured tool; `GitTool::by(name)`
/// gives a known tool's commands. A merge without `mergetool` uses the known
/// tool that the repository's merge.tool names, read when the run starts.
struct GitExecToolOptions {
  GitExecToolSource source = {};
  /// git difftool --dir-diff (a diff only).
  bool useDirectoryDiff = false;
  std::optional<GitToolCommand> difftool = std::nullopt;
  std::optional<GitToolCommand> mergetool = std::nullopt;
};

class GitExecToolOperation : public GitExecCommand<pledge::Void> {
public:
  using Source = GitExecToolSource;
  using Options = GitExecToolOptions;

  /// Which settings a command configures: diff.tool/difftool.* or merge.tool/mergetool.*.
  enum class Kind { diff, merge };

  explicit GitExecToolOperation(GitExecToolOptions options = {});
  /// The known tools' commands by tool name (`GitTool::by`); an unknown or
  /// absent name leaves the command unset, and git then uses the user's own
  /// configured tool.
  static std::shared_ptr<GitExecToolOperation> named(GitExecToolSource source, bool useDirectoryDiff,
                                                     const std::optional<std::string>& toolName);

  const Source source;
  const bool useDirectoryDiff;
  const std::optional<GitToolCommand> difftool;
  const std::optional<GitToolCommand> mergetool;
  /// Run git mergetool rather than git difftool. Set by `execute` from the source.
  bool isMerge = false;
  /// The revisions and paths after the options. Set by `execute` from the source.
  std::vector<std::string> additionalArgs;

  /// The "-c" options of one command: the tool name, then .cmd (the command,
  /// else the shared-support script when `sharedSupport` exists), .path,
  /// .trustExitCode and the prompt setting, each only when set.
  static std::vector<std::string> configurationArguments(const GitToolCommand& command, Kind kind,
                                                         const std::optional<Url>& sharedSupport);

  /// The temporary-file settings, the commands' settings, then "mergetool" or
  /// "difftool", "--no-prompt", "--dir-diff" (a diff asked for it only) and
  /// `additionalArgs`.
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// head, status, refs, config: a merge resolves files, and a tool may do
  /// anything to the repository.
  GitAspects aspects() const override;
  /// Refuses (TavrikError) a reference that is empty or begins with "-", and
  /// a status source without entries.
  void validate(GitOperationContext& context) override;
  /// 0, and 1, which git returns when the user closes a tool without a change.
  std::set<int> successStatuses() const override { return {0, 1}; }
  /// Sets `isMerge` and `additionalArgs` from the source, then runs git and
  /// waits for the tool to close. Throws GitStdError when git fails.
  pledge::Void execute(GitOperationContext& context) override;

protected:
  bool passesPaths() const override { return std::holds_alternative<Source::Status>(source.value); }

private:
  // The merge command to use: `mergetool`, else the known tool that the
  // repository's merge.tool names.
  std::optional<GitToolCommand> effectiveMergetool_;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitExecToolOperation::Source> {
  size_t operator()(const tavrik::GitExecToolOperation::Source& s) const noexcept;
};
