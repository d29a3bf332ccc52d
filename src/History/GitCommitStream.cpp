#include "History/GitCommitStream.h"

#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Operation/GitOperationContext.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>

namespace tavrik::detail {

namespace {

// id, tree, parents, author name, email, date, committer name, email, date,
// message: NUL between fields and NUL after the record ("-z").
constexpr int kFields = GitCommitStream::kRecordFields;
constexpr size_t kReadSize = 64 * 1024;
constexpr int kFirstPagePipeSize = 8 * 1024;
constexpr int kPagingPipeSize = 256 * 1024;
constexpr int kFillsBeforeWidening = 4;

// The child environment and directory of a plain git run, as every
// operation builds them; it never runs a command of its own.
class EnvironmentSource final : public GitExecRunner {
public:
  std::vector<std::string> arguments(GitOperationContext&) override { return {}; }

protected:
  [[noreturn]] GitQueueOperation& execOperation() override { throw std::logic_error("no operation"); }
};

std::optional<arbor::Signature> parseSignature(std::string_view name, std::string_view email,
                                               std::string_view rawDate) {
  // "--date=raw": seconds since the epoch, a blank, then "+hhmm" or "-hhmm".
  auto blank = rawDate.find(' ');
  if (blank == std::string_view::npos || rawDate.size() != blank + 6) return std::nullopt;
  int64_t seconds = 0;
  auto [end, ec] = std::from_chars(rawDate.data(), rawDate.data() + blank, seconds);
  if (ec != std::errc() || end != rawDate.data() + blank) return std::nullopt;
  std::string_view zone = rawDate.substr(blank + 1);
  if (zone[0] != '+' && zone[0] != '-') return std::nullopt;
  int hhmm = 0;
  auto [zoneEnd, zoneEc] = std::from_chars(zone.data() + 1, zone.data() + 5, hhmm);
  if (zoneEc != std::errc() || zoneEnd != zone.data() + 5) return std::nullopt;
  int minutes = hhmm / 100 * 60 + hhmm % 100;
  arbor::Signature signature;
  signature.name = std::string(name);
  signature.email = std::string(email);
  // git stores any 64-bit time; the clock holds about 292 years around 1970,
  // so a forged far-off date is pinned to that edge instead of overflowing.
  constexpr int64_t kLimit = 9'000'000'000;
  signature.date = Date(std::chrono::seconds(std::clamp(seconds, -kLimit, kLimit)));
  signature.offsetMinutes = zone[0] == '-' ? -minutes : minutes;
  return signature;
}

} // namespace

std::vector<std::string> GitCommitStream::arguments(bool withChanges) {
  std::vector<std::string> args{
      // A signature check would print into the records; a replaced pager,
      // colours, mailmap and encoding would change their bytes.
      "-c", "log.showSignature=false", "log", "--topo-order", "--date-order", "-z", "--no-color", "--encoding=UTF-8",
      "--date=raw", GitCommitStream::kRecordFormat, "--stdin"};
  if (withChanges) {
    // What each commit changed against its first parent (a root against
    // nothing), with moved and copied files paired up as a search needs;
    // every setting that would change the list is given here.
    args.insert(args.end(), {"--raw", "--no-abbrev", "--diff-merges=first-parent", "--root", "--find-renames",
                             "--find-copies", "-l100", "--no-relative", "--ignore-submodules=none"});
  }
  args.push_back("--");
  return args;
}

std::vector<std::string> GitCommitStream::followArguments(const std::string& path, std::optional<size_t> maxCount) {
  // Signatures, colours, encodings and relative paths would change the
  // records' bytes; "diff.renames" set to copies would pair files otherwise.
  std::vector<std::string> args{"-c",           "log.showSignature=false", "-c",      "diff.renames=true",
                                "log",          "--follow",                "-z",      "--no-color",
                                "--encoding=UTF-8", "--date=raw",          kRecordFormat, "--raw",
                                "--no-abbrev",  "--no-relative",           "--stdin"};
  if (maxCount) args.push_back("--max-count=" + std::to_string(*maxCount));
  args.insert(args.end(), {"--", path});
  return args;
}

GitCommitStream::GitCommitStream(GitOperationContext& context, bool withChanges)
    : GitCommitStream(context, arguments(withChanges), withChanges) {}

GitCommitStream::GitCommitStream(GitOperationContext& context, const std::vector<std::string>& args,
                                 bool withChanges)
    : withChanges_(withChanges) {
  std::optional<Url> gitURL;
  if (auto host = context.host()) gitURL = host->gitBinaryURL();
  if (!gitURL) throw arbor::Error::generic("Git executable not found.");

  EnvironmentSource source;
  BufferedProcess process(*gitURL);
  process.log = source.commandLog;
  process.pullsStandardOutput = true;
  if (auto directory = source.workingDirectoryURL(context)) process.currentDirectoryURL = *directory;
  process.arguments = {"--no-pager"};
  process.arguments.insert(process.arguments.end(), args.begin(), args.end());
  process.environment = source.childEnvironment(context);
  task_ = process.launch(true);
  buffer_.resize(kReadSize);
  // A short pipe keeps git from formatting far past the first page, which a
  // client may be all that is ever shown; it widens once paging goes on.
  fcntl(task_->standardOutputFile()->fd(), F_SETPIPE_SZ, kFirstPagePipeSize);
}

void GitCommitStream::start(const std::vector<std::string>& revisions) {
  PosixFile* input = task_->standardInputFile();
  try {
    std::string lines;
    for (const auto& revision : revisions) {
      // git stops reading at a "--" line and dies on other option-like ones.
      TavrikError::refuseOptionLikeRevision(revision);
      if (revision.find('\n') != std::string::npos) throw TavrikError::fromErrno(EINVAL, "revision with a newline");
      lines += revision + "\n";
    }
    input->writeAll(lines);
  } catch (const TavrikError& error) {
    input->close();
    // An early exit of git shows in its status when the stream is read.
    if (error.errnoValue == EPIPE) return;
    stop();
    throw;
  }
  input->close();
}

GitCommitStream::~GitCommitStream() { stop(); }

void GitCommitStream::stop() {
  if (!task_ || finished_) return;
  finished_ = true;
  // Closing our end makes a writing git fail with EPIPE; the interrupt stops
  // one that is still reading history before its first write.
  task_->interrupt();
  try {
    if (auto* file = task_->standardOutputFile(); file && file->isOpen()) file->close();
  } catch (const TavrikError&) {
  }
}

bool GitCommitStream::fill() {
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  if (!widened_ && ++fills_ > kFillsBeforeWidening) {
    widened_ = true;
    fcntl(task_->standardOutputFile()->fd(), F_SETPIPE_SZ, kPagingPipeSize);
  }
  size_t n = task_->standardOutputFile()->readInto(buffer_.data() + end_, buffer_.size() - end_);
  end_ += n;
  return n > 0;
}

bool GitCommitStream::haveByte(size_t position) {
  while (end_ <= position)
    if (!fill()) return false;
  return true;
}

std::optional<size_t> GitCommitStream::nulFrom(size_t position) {
  for (;;) {
    if (position < end_) {
      const void* nul = std::memchr(buffer_.data() + position, '\0', end_ - position);
      if (nul) return static_cast<size_t>(static_cast<const char*>(nul) - buffer_.data());
      position = end_;
    }
    if (!fill()) return std::nullopt;
  }
}

void GitCommitStream::finish() {
  finished_ = true;
  auto* file = task_->standardOutputFile();
  if (file->isOpen()) file->close();
  int status = task_->wait();
  if (status != 0) {
    auto text = task_->standardErrorBuffer()->utf8String();
    throw GitStdError(status, text && !text->empty() ? text : std::optional<std::string>("git log failed"));
  }
  if (end_ != 0) throw TavrikError::fromErrno(EBADMSG, "git log: incomplete record");
}

std::optional<arbor::Commit> GitCommitStream::next(std::vector<arbor::TreeChange>* changes) {
  if (finished_) return std::nullopt;
  // Records are read whole before any view into the buffer is taken, since
  // reading more may move it; the consumed front is dropped here.
  if (start_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  size_t position = 0;
  for (int field = 0; field < kFields; ++field) {
    auto nul = nulFrom(position);
    if (!nul) {
      finish();
      return std::nullopt;
    }
    position = *nul + 1;
  }
  auto commit = parseRecord(std::string_view(buffer_.data(), position - 1));
  if (!commit) throw TavrikError::fromErrno(EBADMSG, "git log: malformed record");
  if (withChanges_) {
    // "--raw" puts a newline and then one ":"-record per changed file after
    // the commit's own record.
    if (haveByte(position + 1) && buffer_[position] == '\n' && buffer_[position + 1] == ':') ++position;
    while (haveByte(position) && buffer_[position] == ':') {
      auto headerEnd = nulFrom(position);
      auto pathEnd = headerEnd ? nulFrom(*headerEnd + 1) : std::nullopt;
      if (!pathEnd) throw TavrikError::fromErrno(EBADMSG, "git log: incomplete change");
      std::optional<size_t> secondEnd;
      const char status = *headerEnd - position >= 98 ? buffer_[position + 97] : 0;
      if (status == 'R' || status == 'C') {
        secondEnd = nulFrom(*pathEnd + 1);
        if (!secondEnd) throw TavrikError::fromErrno(EBADMSG, "git log: incomplete change");
      }
      std::string_view header(buffer_.data() + position, *headerEnd - position);
      std::string_view path(buffer_.data() + *headerEnd + 1, *pathEnd - *headerEnd - 1);
      std::string_view second = secondEnd ? std::string_view(buffer_.data() + *pathEnd + 1, *secondEnd - *pathEnd - 1)
                                          : std::string_view();
      auto change = parseChange(header, path, second);
      if (!change) throw TavrikError::fromErrno(EBADMSG, "git log: malformed change");
      if (changes) changes->push_back(std::move(*change));
      position = (secondEnd ? *secondEnd : *pathEnd) + 1;
    }
  }
  start_ = position;
  return commit;
}

std::optional<arbor::TreeChange> GitCommitStream::parseChange(std::string_view header, std::string_view path,
                                                              std::string_view secondPath) {
  // ":100644 100644 <40 hex> <40 hex> M" (R and C carry a score).
  if (header.size() < 98 || header[0] != ':' || header[7] != ' ' || header[14] != ' ' || header[55] != ' ' ||
      header[96] != ' ')
    return std::nullopt;
  auto mode = [](std::string_view text) -> std::optional<uint32_t> {
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 8);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
  };
  auto oldMode = mode(header.substr(1, 6)), newMode = mode(header.substr(8, 6));
  auto oldId = Oid::parse(header.substr(15, 40)), newId = Oid::parse(header.substr(56, 40));
  if (!oldMode || !newMode || !oldId || !newId || path.empty()) return std::nullopt;
  arbor::TreeChange change;
  change.oldMode = *oldMode;
  change.newMode = *newMode;
  change.oldId = *oldId;
  change.newId = *newId;
  switch (header[97]) {
  case 'A': change.kind = arbor::TreeChange::Kind::added; break;
  case 'D': change.kind = arbor::TreeChange::Kind::deleted; break;
  case 'M':
  case 'T': change.kind = arbor::TreeChange::Kind::modified; break;
  case 'R':
  case 'C':
    if (secondPath.empty()) return std::nullopt;
    change.kind = header[97] == 'R' ? arbor::TreeChange::Kind::renamed : arbor::TreeChange::Kind::copied;
    change.oldPath = std::string(path);
    change.path = std::string(secondPath);
    return change;
  default: return std::nullopt;
  }
  change.path = std::string(path);
  return change;
}

std::optional<arbor::Commit> GitCommitStream::parseRecord(std::string_view record) {
  std::string_view fields[kFields];
  size_t from = 0;
  for (int i = 0; i < kFields - 1; ++i) {
    size_t nul = record.find('\0', from);
    if (nul == std::string_view::npos) return std::nullopt;
    fields[i] = record.substr(from, nul - from);
    from = nul + 1;
  }
  fields[kFields - 1] = record.substr(from);

  arbor::Commit commit;
  auto id = Oid::parse(fields[0]);
  auto tree = Oid::parse(fields[1]);
  if (!id || !tree || fields[0].size() != 40 || fields[1].size() != 40) return std::nullopt;
  commit.id = *id;
  commit.treeId = *tree;
  std::string_view parents = fields[2];
  while (!parents.empty()) {
    size_t blank = std::min(parents.find(' '), parents.size());
    auto parent = Oid::parse(parents.substr(0, blank));
    if (!parent || blank != 40) return std::nullopt;
    commit.parentIds.push_back(*parent);
    parents.remove_prefix(std::min(blank + 1, parents.size()));
  }
  auto author = parseSignature(fields[3], fields[4], fields[5]);
  auto committer = parseSignature(fields[6], fields[7], fields[8]);
  if (!author || !committer) return std::nullopt;
  commit.author = std::move(*author);
  commit.committer = std::move(*committer);
  commit.message = std::string(fields[9]);
  return commit;
}

} // namespace tavrik::detail
