#include "History/GitCommitStream.h"

#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Queue/GitOperationContext.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Queue/TavrikError.h"

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
constexpr int kFields = 10;
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

std::vector<std::string> GitCommitStream::arguments() {
  return {
      // A signature check would print into the records; a replaced pager,
      // colours, mailmap and encoding would change their bytes.
      "-c", "log.showSignature=false", "log", "--topo-order", "--date-order", "-z", "--no-color", "--encoding=UTF-8",
      "--date=raw", "--format=%H%x00%T%x00%P%x00%an%x00%ae%x00%ad%x00%cn%x00%ce%x00%cd%x00%B", "--stdin", "--"};
}

GitCommitStream::GitCommitStream(GitOperationContext& context) {
  std::optional<Url> gitURL;
  if (context.queue) gitURL = context.queue->gitBinaryURL();
  if (!gitURL) throw arbor::Error::generic("Git executable not found.");

  EnvironmentSource source;
  BufferedProcess process(*gitURL);
  process.log = source.commandLog;
  process.pullsStandardOutput = true;
  if (auto directory = source.workingDirectoryURL(context)) process.currentDirectoryURL = *directory;
  process.arguments = {"--no-pager"};
  auto args = arguments();
  process.arguments.insert(process.arguments.end(), args.begin(), args.end());
  process.environment = source.environment(context);
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
  if (start_ > 0 && (start_ == end_ || end_ + kReadSize / 4 > buffer_.size())) {
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    scanned_ -= start_;
    start_ = 0;
  }
  if (buffer_.size() - end_ < kReadSize / 4) buffer_.resize(buffer_.size() * 2);
  if (!widened_ && ++fills_ > kFillsBeforeWidening) {
    widened_ = true;
    fcntl(task_->standardOutputFile()->fd(), F_SETPIPE_SZ, kPagingPipeSize);
  }
  size_t n = task_->standardOutputFile()->readInto(buffer_.data() + end_, buffer_.size() - end_);
  end_ += n;
  return n > 0;
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
  if (start_ != end_) throw TavrikError::fromErrno(EBADMSG, "git log: incomplete record");
}

std::optional<arbor::Commit> GitCommitStream::next() {
  if (finished_) return std::nullopt;
  for (;;) {
    while (scanned_ < end_) {
      const char* from = buffer_.data() + scanned_;
      const char* nul = static_cast<const char*>(std::memchr(from, '\0', end_ - scanned_));
      if (!nul) {
        scanned_ = end_;
        break;
      }
      scanned_ = static_cast<size_t>(nul - buffer_.data()) + 1;
      if (++nulsSeen_ < kFields) continue;
      std::string_view record(buffer_.data() + start_, scanned_ - 1 - start_);
      start_ = scanned_;
      nulsSeen_ = 0;
      auto commit = parseRecord(record);
      if (!commit) throw TavrikError::fromErrno(EBADMSG, "git log: malformed record");
      return commit;
    }
    if (!fill()) {
      finish();
      return std::nullopt;
    }
  }
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
