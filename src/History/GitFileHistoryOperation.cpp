#include "tavrik/History/GitFileHistoryOperation.h"

#include "History/GitCommitStream.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>

namespace tavrik {

namespace {

[[noreturn]] void malformed(const char* what) { throw TavrikError::fromErrno(EBADMSG, std::string("git log: ") + what); }

std::optional<arbor::TreeChange::Kind> changeKind(char status) {
  using Kind = arbor::TreeChange::Kind;
  switch (status) {
  case 'A': return Kind::added;
  case 'D': return Kind::deleted;
  case 'M':
  case 'T': return Kind::modified;
  case 'R': return Kind::renamed;
  case 'C': return Kind::copied;
  default: return std::nullopt;
  }
}

} // namespace

GitFileHistoryOperation::GitFileHistoryOperation(std::string path, GitFileHistoryOptions options)
    : path(std::move(path)), options(std::move(options)) {}

std::vector<std::string> GitFileHistoryOperation::arguments(GitOperationContext&) {
  // Signatures, colours and encodings would change the records' bytes.
  // Nothing here (no --full-history, no --no-renames' siblings) makes git
  // skip the changed-path Bloom filters.
  std::vector<std::string> args{"-c", "log.showSignature=false", "-c", "diff.renames=true", "log", "--follow", "-z",
                                "--no-color", "--encoding=UTF-8", "--date=raw", detail::GitCommitStream::kRecordFormat,
                                "--name-status", "--no-relative"};
  // With --follow git's --skip counts commits before it has looked for the
  // file, and gives rows twice; the rows skipped are read and dropped.
  if (options.limit) args.push_back("--max-count=" + std::to_string(options.skip + *options.limit));
  args.push_back(options.revision.value_or("HEAD"));
  args.push_back("--");
  args.push_back(path);
  return args;
}

std::vector<GitFileHistoryEntry> GitFileHistoryOperation::execute(GitOperationContext& context) {
  if (options.revision) TavrikError::refuseOptionLikeRevision(*options.revision);
  if (options.limit == size_t(0)) return {};
  runCommand(context);
  const std::string_view out = stdOutBuffer->data();
  std::vector<GitFileHistoryEntry> rows;
  std::string followed = path;
  size_t pos = 0;
  auto field = [&] {
    const size_t nul = out.find('\0', pos);
    if (nul == std::string_view::npos) malformed("incomplete record");
    auto text = out.substr(pos, nul - pos);
    pos = nul + 1;
    return text;
  };
  while (pos < out.size()) {
    const size_t start = pos;
    for (int i = 0; i < detail::GitCommitStream::kRecordFields; ++i) field();
    auto commit = detail::GitCommitStream::parseRecord(out.substr(start, pos - 1 - start));
    if (!commit) malformed("malformed record");
    GitFileHistoryEntry row;
    row.entry = GitLogEntry::fromCommit(*commit, {});
    row.path = followed;
    if (pos < out.size() && out[pos] == '\n') ++pos;
    // git lists the followed file's change; a merge that did not touch it
    // lists none.
    bool first = true;
    while (pos < out.size() && out[pos] >= 'A' && out[pos] <= 'Z') {
      const char status = field().front();
      auto kind = changeKind(status);
      if (!kind) malformed("unknown change status");
      std::string one(field());
      std::optional<std::string> two;
      if (status == 'R' || status == 'C') two = std::string(field());
      if (!first) continue;
      first = false;
      row.change = *kind;
      if (two) {
        row.oldPath = one;
        row.path = *two;
        followed = one;
      } else {
        row.path = one;
      }
    }
    rows.push_back(std::move(row));
  }
  rows.erase(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(std::min(options.skip, rows.size())));
  return rows;
}

std::vector<std::string> GitWriteCommitGraphOperation::arguments(GitOperationContext&) {
  return {"commit-graph", "write", "--reachable", "--changed-paths"};
}

pledge::Void GitWriteCommitGraphOperation::execute(GitOperationContext& context) {
  runCommand(context);
  return {};
}

} // namespace tavrik
