#include "tavrik/History/GitBlameOperation.h"

#include "History/GitBlameParser.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Operation/GitOperationContext.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>

namespace tavrik {

namespace {

constexpr size_t kReadSize = 64 * 1024;

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

} // namespace

bool GitBlameRange::operator==(const GitBlameRange& other) const {
  const bool sameCommit = commit == other.commit || (commit && other.commit && *commit == *other.commit);
  return sameCommit && originalPath == other.originalPath && originalLine == other.originalLine &&
         finalLine == other.finalLine && lineCount == other.lineCount && previousId == other.previousId &&
         previousPath == other.previousPath;
}

const GitBlameRange* GitBlame::rangeForLine(size_t line) const {
  auto after = std::upper_bound(ranges.begin(), ranges.end(), line,
                                [](size_t l, const GitBlameRange& range) { return l < range.finalLine; });
  if (after == ranges.begin()) return nullptr;
  const GitBlameRange& range = *std::prev(after);
  return line < range.finalLine + range.lineCount ? &range : nullptr;
}

GitBlameError::Kind GitBlameError::classify(std::string_view text) {
  if (contains(text, "no such path") || contains(text, "cannot stat path")) return Kind::noSuchPath;
  if (contains(text, "bad revision") || contains(text, "unknown revision") || contains(text, "ambiguous argument"))
    return Kind::badRevision;
  if (contains(text, " has only ") || contains(text, "-L")) return Kind::badLineRange;
  return Kind::other;
}

GitBlameOperation::GitBlameOperation(std::string path, GitBlameOptions options)
    : path(std::move(path)), options(std::move(options)) {}

std::vector<std::string> GitBlameOperation::arguments(GitOperationContext&) {
  // Root commits count as boundaries (git's default) and names come in
  // UTF-8, whatever the user set; paths are unquoted either way.
  std::vector<std::string> args{"-c", "blame.showRoot=false", "-c", "i18n.logOutputEncoding=UTF-8",
                                "-c", "core.quotePath=true", "blame", "--incremental"};
  if (options.whitespace == GitBlameWhitespace::ignored) args.push_back("-w");
  if (options.moves == GitBlameMoves::detected) args.push_back("-M");
  for (int level = 0; level < static_cast<int>(options.copies); ++level) args.push_back("-C");
  if (options.ignoreRevsFile) args.push_back("--ignore-revs-file=" + *options.ignoreRevsFile);
  if (options.lines) args.push_back("-L" + std::to_string(options.lines->first) + "," + std::to_string(options.lines->last));
  if (options.revision) args.push_back(*options.revision);
  args.push_back("--");
  args.push_back(path);
  return args;
}

GitBlame GitBlameOperation::execute(GitOperationContext& context) {
  if (options.revision) TavrikError::refuseOptionLikeRevision(*options.revision);
  if (path.empty()) throw GitBlameError(GitBlameError::Kind::noSuchPath, "No file to blame was given.");
  if (options.lines && (options.lines->first == 0 || options.lines->last < options.lines->first))
    throw GitBlameError(GitBlameError::Kind::badLineRange, "The line range must run from line 1 on, forwards.");
  auto directory = workingDirectoryURL(context);
  if (!options.revision && directory) {
    // git reports a directory as a path it cannot find in HEAD.
    struct stat status {};
    if (::stat((directory->path() + "/" + path).c_str(), &status) == 0 && S_ISDIR(status.st_mode))
      throw GitBlameError(GitBlameError::Kind::directory, "'" + path + "' is a directory, not a file.");
  }

  std::optional<Url> gitURL;
  if (auto* host = context.host()) gitURL = host->gitBinaryURL();
  if (!gitURL) throw arbor::Error::generic("Git executable not found.");
  BufferedProcess process(*gitURL);
  process.log = commandLog;
  process.pullsStandardOutput = true;
  if (directory) process.currentDirectoryURL = *directory;
  process.arguments = {"--no-pager"};
  auto args = arguments(context);
  process.arguments.insert(process.arguments.end(), args.begin(), args.end());
  process.environment = childEnvironment(context);

  auto task = process.launch(false, diagnosticIdentifier());
  {
    std::lock_guard lock(taskLock_);
    task_ = task;
  }
  // A cancel that came before the task was visible must still stop git.
  if (isCancelled()) task->interrupt();

  GitBlame blame;
  detail::GitBlameParser parser;
  std::string buffer(kReadSize, '\0');
  PosixFile* output = task->standardOutputFile();
  auto release = [&] {
    if (output->isOpen()) output->close();
    int status = task->wait();
    std::lock_guard lock(taskLock_);
    task_.reset();
    return status;
  };
  try {
    while (size_t n = output->readInto(buffer.data(), buffer.size())) {
      auto ranges = parser.feed(std::string_view(buffer.data(), n));
      if (ranges.empty()) continue;
      if (onRanges) onRanges(ranges);
      blame.ranges.insert(blame.ranges.end(), std::make_move_iterator(ranges.begin()),
                          std::make_move_iterator(ranges.end()));
    }
  } catch (...) {
    task->interrupt();
    release();
    throw;
  }
  const int status = release();
  if (auto signal = task->terminationSignal()) {
    const char* name = sigabbrev_np(*signal);
    throw GitStdError(*signal, "git was killed by signal " + (name ? "SIG" + std::string(name) : std::to_string(*signal)));
  }
  if (status != 0) {
    std::string text = task->standardErrorBuffer()->data();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty()) text = "git blame exited with status " + std::to_string(status);
    throw GitBlameError(GitBlameError::classify(text), text);
  }
  parser.finish();
  std::sort(blame.ranges.begin(), blame.ranges.end(),
            [](const GitBlameRange& a, const GitBlameRange& b) { return a.finalLine < b.finalLine; });
  return blame;
}

void GitBlameOperation::cancel() {
  GitExecOperation<GitBlame>::cancel();
  std::shared_ptr<BufferedProcess::Task> task;
  {
    std::lock_guard lock(taskLock_);
    task = task_;
  }
  if (task) task->interrupt();
}

} // namespace tavrik

namespace tavrik {

std::vector<std::string> GitFileContentOperation::arguments(GitOperationContext&) {
  return {"cat-file", "blob", revision.value_or("HEAD") + ":" + path};
}

std::string GitFileContentOperation::execute(GitOperationContext& context) {
  if (revision) {
    TavrikError::refuseOptionLikeRevision(*revision);
    runCommand(context);
    return stdOutBuffer->data();
  }
  auto directory = workingDirectoryURL(context);
  if (!directory) throw TavrikError::invalidWorktree();
  const std::string full = directory->path() + "/" + path;
  struct stat status {};
  if (::stat(full.c_str(), &status) != 0) throw TavrikError::fromErrno(errno, "stat");
  if (!S_ISREG(status.st_mode)) throw TavrikError::fromErrno(EISDIR, "open");
  std::ifstream file(full, std::ios::binary);
  if (!file) throw TavrikError::fromErrno(errno, "open");
  return std::string(std::istreambuf_iterator<char>(file), {});
}

} // namespace tavrik
