#include "tavrik/State/GitExecShowHeadOperation.h"

#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitShowHeadParser.h"

#include <algorithm>
#include <fstream>
#include <optional>

namespace tavrik {

namespace {

// What `git symbolic-ref -q HEAD` would print, read off the HEAD file when it
// holds a plain "ref: refs/heads/NAME" or a detached commit id ("" then).
// Anything else (a symbolic link, a name git would refuse, a file git could
// read differently) is left to git, whose verdict and error then stand.
std::optional<std::string> plainHeadTarget(const std::string& gitDir) {
  std::ifstream file(gitDir + "/HEAD", std::ios::binary);
  if (!file) return std::nullopt;
  char buffer[1024];
  file.read(buffer, sizeof buffer);
  std::string_view text(buffer, static_cast<size_t>(file.gcount()));
  if (text.size() == sizeof buffer || !text.ends_with('\n')) return std::nullopt;
  text.remove_suffix(1);
  if (text.size() == 40 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos) return "";
  constexpr std::string_view kPrefix = "ref: refs/heads/";
  if (!text.starts_with(kPrefix) || text.size() == kPrefix.size()) return std::nullopt;
  for (unsigned char c : text.substr(kPrefix.size()))
    if (c <= ' ' || c == 0x7f || std::string_view("~^:?*[\\").find(static_cast<char>(c)) != std::string_view::npos)
      return std::nullopt;
  if (text.find("..") != std::string_view::npos || text.find("@{") != std::string_view::npos ||
      text.find("//") != std::string_view::npos || text.ends_with('/') || text.ends_with('.') ||
      text.ends_with(".lock") || text.find(".lock/") != std::string_view::npos || text.find("/.") != std::string_view::npos)
    return std::nullopt;
  return std::string(text.substr(5));
}

} // namespace

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
  // `git log --no-walk` prints the commit as `git show --no-patch` does
  // without computing its diff, which show still does and throws away: on a
  // merge, or a commit touching a thousand files, that diff is most of
  // show's time.
  // Pinned against the user's configuration: log.decorate and
  // log.excludeDecoration (or log.initialDecorationSet) would rename or hide
  // the "HEAD -> branch" entry, log.showSignature prints gpg's report ahead of
  // the hash, and colour, notes and i18n.logOutputEncoding change the bytes.
  // "--" keeps a working-tree file named like the head from making the
  // revision ambiguous.
  return {"log",
          "--no-walk",
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
  // The HEAD file answers that without a git process in the usual cases.
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  std::optional<std::string> target;
  if (descriptor && descriptor->gitURL.isFileURL()) target = plainHeadTarget(descriptor->gitURL.path());
  if (target) {
    branchRef_ = std::move(*target);
  } else {
    step_ = Step::symbolicRef;
    runCommand(context);
    branchRef_ = std::string(stdOutBuffer->data());
    if (branchRef_.ends_with('\n')) branchRef_.pop_back();
  }

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
