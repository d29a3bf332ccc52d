#include "tavrik/Tools/GitExecToolOperation.h"

#include "tavrik/Queue/GitQueue.h"
#include "tavrik/State/GitViewExecConfigOperation.h"
#include "tavrik/Util/HashCombine.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <unordered_set>

namespace tavrik {

namespace {

std::optional<GitToolCommand> difftoolNamed(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  auto tool = GitTool::by(*name);
  return tool ? tool->difftool : std::nullopt;
}

std::optional<GitToolCommand> mergetoolNamed(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  auto tool = GitTool::by(*name);
  return tool ? tool->mergetool : std::nullopt;
}

bool exists(const Url& url) {
  std::error_code ec;
  return std::filesystem::exists(url.path(), ec);
}

} // namespace

GitExecToolOperation::GitExecToolOperation(GitExecToolOptions options)
    : source(std::move(options.source)), useDirectoryDiff(options.useDirectoryDiff),
      difftool(std::move(options.difftool)), mergetool(std::move(options.mergetool)),
      effectiveMergetool_(this->mergetool) {}

std::shared_ptr<GitExecToolOperation> GitExecToolOperation::named(GitExecToolSource source, bool useDirectoryDiff,
                                                                 const std::optional<std::string>& toolName) {
  return makeOperation<GitExecToolOperation>({.source = std::move(source),
                                              .useDirectoryDiff = useDirectoryDiff,
                                              .difftool = difftoolNamed(toolName),
                                              .mergetool = mergetoolNamed(toolName)});
}

std::vector<std::string> GitExecToolOperation::configurationArguments(const GitToolCommand& command, Kind kind,
                                                                      const std::optional<Url>& sharedSupport) {
  const std::string prefix = kind == Kind::diff ? "diff" : "merge";
  const std::string section = prefix + "tool." + command.toolname;
  std::vector<std::string> args{"-c", prefix + ".tool=" + command.toolname};
  std::optional<std::string> launch = command.cmd;
  if (!launch && command.sharedSupportScript && sharedSupport && exists(*sharedSupport)) {
    launch = "REMOTE=$REMOTE BASE=$BASE LOCAL=$LOCAL MERGED=$MERGED " +
             shellQuoted(sharedSupport->path() + "/" + *command.sharedSupportScript);
  }
  if (launch) args.insert(args.end(), {"-c", section + ".cmd=" + *launch});
  if (command.path) args.insert(args.end(), {"-c", section + ".path=" + *command.path});
  if (command.trustExitCode)
    args.insert(args.end(), {"-c", section + ".trustExitCode=" + (*command.trustExitCode ? "true" : "false")});
  if (command.prompt) args.insert(args.end(), {"-c", prefix + "tool.prompt=" + (*command.prompt ? "true" : "false")});
  return args;
}

std::vector<std::string> GitExecToolOperation::arguments(GitOperationContext&) {
  // Backups and temporaries beside the conflicted file would show up in the
  // status as untracked files.
  std::vector<std::string> args{"-c", "mergetool.keepBackup=false", "-c", "mergetool.keepTemporaries=false",
                                "-c", "mergetool.writeToTemp=true"};
  auto sharedSupport = (difftool || effectiveMergetool_) ? GitTool::sharedSupportURL() : std::nullopt;
  if (difftool) {
    auto more = configurationArguments(*difftool, Kind::diff, sharedSupport);
    args.insert(args.end(), more.begin(), more.end());
  }
  if (effectiveMergetool_) {
    auto more = configurationArguments(*effectiveMergetool_, Kind::merge, sharedSupport);
    args.insert(args.end(), more.begin(), more.end());
  }
  args.emplace_back(isMerge ? "mergetool" : "difftool");
  args.emplace_back("--no-prompt");
  // git mergetool knows no --dir-diff.
  if (!isMerge && useDirectoryDiff) args.emplace_back("--dir-diff");
  args.insert(args.end(), additionalArgs.begin(), additionalArgs.end());
  return args;
}

GitAspects GitExecToolOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::config};
}

void GitExecToolOperation::validate(GitOperationContext&) {
  // Without paths git would compare every change, not the chosen ones.
  if (auto status = std::get_if<Source::Status>(&source.value); status && status->entries.empty())
    throw TavrikError("Nothing to compare", "No changed files were chosen.");
  if (auto ref = std::get_if<Source::RefToHead>(&source.value)) {
    if (ref->refname.empty()) throw TavrikError("Invalid revision \"\": a reference name is needed.");
    TavrikError::refuseOptionLikeRevision(ref->refname);
  }
}

pledge::Void GitExecToolOperation::execute(GitOperationContext& context) {
  if (auto commit = std::get_if<Source::Commit>(&source.value)) {
    isMerge = false;
    additionalArgs = {commit->range.first.string() + "^", commit->range.second.string()};
  } else if (auto ref = std::get_if<Source::RefToHead>(&source.value)) {
    isMerge = false;
    additionalArgs = {ref->refname, "HEAD"};
  } else {
    const auto& entries = std::get<Source::Status>(source.value).entries;
    std::vector<std::string> conflicted;
    for (const auto& entry : entries)
      if (entry.hasConflict())
        for (auto& path : entry.uniquePaths()) conflicted.push_back(std::move(path));
    isMerge = !conflicted.empty();
    if (isMerge) {
      additionalArgs = {"--"};
      additionalArgs.insert(additionalArgs.end(), conflicted.begin(), conflicted.end());
      if (!mergetool) {
        // A repository set up for one of the known tools gets our launch
        // script for it rather than git's own guess at the tool. Read fresh:
        // the view's configuration may be older than the repository's.
        auto config = makeOperation<GitViewExecConfigOperation>()->execute(context);
        if (auto configured = config ? config->mergeTool() : std::nullopt)
          if (auto tool = GitTool::by(*configured)) effectiveMergetool_ = tool->mergetool;
      }
    } else {
      additionalArgs = {"HEAD", "--"};
      std::unordered_set<std::string> seen;
      for (const auto& entry : entries)
        for (auto& path : entry.uniquePaths())
          if (seen.insert(path).second) additionalArgs.push_back(std::move(path));
    }
  }
  runAndReport(context);
  return {};
}

} // namespace tavrik

size_t std::hash<tavrik::GitExecToolOperation::Source>::operator()(
    const tavrik::GitExecToolOperation::Source& s) const noexcept {
  using Source = tavrik::GitExecToolOperation::Source;
  using tavrik::detail::hashFields;
  size_t kind = s.value.index();
  if (auto status = std::get_if<Source::Status>(&s.value)) return hashFields(kind, status->entries);
  if (auto commit = std::get_if<Source::Commit>(&s.value))
    return hashFields(kind, commit->range.first, commit->range.second);
  return hashFields(kind, std::get<Source::RefToHead>(s.value).refname);
}
