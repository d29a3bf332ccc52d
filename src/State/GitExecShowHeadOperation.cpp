#include "tavrik/State/GitExecShowHeadOperation.h"

#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitShowHeadParser.h"

#include <algorithm>

namespace tavrik {

GitExecShowHeadOperation::GitExecShowHeadOperation(GitHeadFile file)
    : file(file), formatFields(GitShowHeadParser::defaultFormatFields()) {}

std::vector<GitFormatField> GitExecShowHeadOperation::showFields() const {
  if (file != GitHeadFile::head) return formatFields;
  // HEAD's branch comes from HEAD itself; decorating would look up every ref.
  std::vector<GitFormatField> fields = formatFields;
  std::erase(fields, GitFormatField::refNamesWithoutWrapping);
  return fields;
}

std::vector<std::string> GitExecShowHeadOperation::arguments(GitOperationContext&) {
  switch (step_) {
  case Step::symbolicRef:
    return {"symbolic-ref", "-q", "HEAD"};
  case Step::verifyBranch:
    return {"rev-parse", "-q", "--verify", branchRef_};
  case Step::show:
    break;
  }
  // Pinned against the user's configuration: log.decorate and
  // log.excludeDecoration (or log.initialDecorationSet) would rename or hide
  // the "HEAD -> branch" entry, log.showSignature prints gpg's report ahead of
  // the hash, and colour, notes and i18n.logOutputEncoding change the bytes.
  // "--" keeps a working-tree file named like the head from making the
  // revision ambiguous.
  return {"show",
          "--no-patch",
          "--decorate=short",
          "--decorate-refs=HEAD",
          "--decorate-refs=refs/heads/",
          "--decorate-refs=refs/remotes/",
          "--decorate-refs=refs/tags/",
          "--no-show-signature",
          "--no-color",
          "--no-notes",
          "--encoding=UTF-8",
          GitShowHeadParser::formatArgument(showFields()),
          std::string(rawValue(file)),
          "--"};
}

std::set<int> GitExecShowHeadOperation::successStatuses() const {
  // symbolic-ref -q and rev-parse -q --verify answer "no" with status 1.
  if (step_ == Step::show) return {0};
  return {0, 1};
}

GitHead GitExecShowHeadOperation::execute(GitOperationContext& context) {
  if (file != GitHeadFile::head) {
    step_ = Step::show;
    try {
      runCommand(context);
    } catch (const GitStdError&) {
      return GitShowHeadParser::emptyHead(file);
    }
    return GitShowHeadParser::parse(*stdOutBuffer, file, formatFields);
  }

  // Whether HEAD is on a branch is asked of HEAD, never read off decorations,
  // which name any branch at the same commit. A ref store git cannot read
  // fails here, as it fails git.
  step_ = Step::symbolicRef;
  runCommand(context);
  branchRef_ = std::string(stdOutBuffer->data());
  if (branchRef_.ends_with('\n')) branchRef_.pop_back();

  step_ = Step::show;
  GitHead head;
  try {
    runCommand(context);
    head = GitShowHeadParser::parse(*stdOutBuffer, file, showFields());
  } catch (const GitStdError&) {
    if (branchRef_.empty()) throw;
    // A branch yet to be born has no commit; an existing one git cannot show
    // is a failure.
    step_ = Step::verifyBranch;
    runCommand(context);
    if (!stdOutBuffer->data().empty()) throw;
    head = GitShowHeadParser::emptyHead(file);
  }
  if (!branchRef_.empty()) {
    constexpr std::string_view kBranches = "refs/heads/";
    head.refname = branchRef_.starts_with(kBranches) ? branchRef_.substr(kBranches.size()) : branchRef_;
    head.isSymbolic = false;
  }
  return head;
}

} // namespace tavrik
