#include "tavrik/History/GitLogWalkerOperation.h"

#include "History/GitQueryMatcher.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Operation/GitTask.h"
#include "tavrik/Util/Error.h"
#include "tavrik/Util/Log.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace tavrik {

namespace {

std::string repositoryPath(GitOperationContext& context) {
  auto descriptor = context.effectiveDescriptor();
  if (!descriptor) throw arbor::Error("No repository.", arbor::Error::Code::notFound);
  return descriptor->url.path();
}

// The next row, or nullopt at the end; an error also ends the walk.
// The walker's next row (or search candidate), nullopt at the end; an error
// also ends the walk.
template <class Next> auto nextOrEnd(GitLogWalker& walker, Next next) -> decltype(next()) {
  try {
    return next();
  } catch (const std::exception& error) {
    Log::defaultLog().info("history: walk of %s ended: %s", walker.descriptor().reflogName.value_or("history").c_str(),
                           error.what());
    return std::nullopt;
  }
}

void reportSearched(GitQueueOperation& operation, size_t searched) {
  if (auto task = operation.task()) task->setString(std::to_string(searched) + " commits searched");
}

// Matches commits on several threads and hands back the results in the
// order the commits were added. The caller adds commits and takes results
// from the same thread.
class ParallelMatcher {
public:
  ParallelMatcher(const detail::GitQueryMatcher& matcher, const std::string& path, size_t threads)
      : matcher_(matcher), path_(path) {
    for (size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }

  ~ParallelMatcher() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    workAvailable_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

  size_t inFlight() const {
    std::lock_guard lock(mutex_);
    return window_.size();
  }

  void add(GitLogWalker::Candidate candidate) {
    {
      std::lock_guard lock(mutex_);
      window_.push_back(std::make_unique<Slot>(Slot{std::move(candidate), false, std::nullopt}));
    }
    workAvailable_.notify_one();
  }

  /// Waits for the oldest commit's result: the row with its match, or
  /// nullopt inside when it did not match. nullopt when nothing is pending.
  std::optional<std::optional<GitLogEntry>> takeOldest() {
    std::unique_lock lock(mutex_);
    if (window_.empty()) return std::nullopt;
    resultReady_.wait(lock, [&] { return window_.front()->done; });
    auto slot = std::move(window_.front());
    window_.pop_front();
    --taken_;
    if (slot->error) std::rethrow_exception(slot->error);
    return std::move(slot->result);
  }

private:
  struct Slot {
    GitLogWalker::Candidate candidate;
    bool done;
    std::optional<GitLogEntry> result;
    std::exception_ptr error = nullptr;
  };

  void work() {
    // Each thread reads the object database through its own handle.
    std::optional<arbor::Repo> repo;
    std::unique_lock lock(mutex_);
    for (;;) {
      workAvailable_.wait(lock, [&] { return stopping_ || taken_ < window_.size(); });
      if (stopping_) return;
      Slot* slot = window_[taken_++].get();
      lock.unlock();
      std::optional<GitLogEntry> result;
      std::exception_ptr error;
      try {
        if (!repo) repo = arbor::Repo::openAtPath(path_);
        const auto& changes = slot->candidate.changes;
        if (auto match = matcher_.match(slot->candidate.entry, *repo, changes ? &*changes : nullptr)) {
          result = std::move(slot->candidate.entry);
          result->queryMatch = std::move(*match);
        }
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      slot->error = error;
      slot->result = std::move(result);
      slot->done = true;
      resultReady_.notify_all();
    }
  }

  const detail::GitQueryMatcher& matcher_;
  const std::string path_;
  mutable std::mutex mutex_; // guards window_, taken_, stopping_ and the slots' done and result
  std::condition_variable workAvailable_;
  std::condition_variable resultReady_;
  // Pending commits, oldest first; the first taken_ of them are being or
  // have been matched.
  std::deque<std::unique_ptr<Slot>> window_;
  size_t taken_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

} // namespace

GitLogWalkerOperation::GitLogWalkerOperation(std::shared_ptr<GitLogWalker> logWalker, size_t pageSize)
    : logWalker(std::move(logWalker)), pageSize(pageSize), chunkSize(pageSize) {}

std::optional<std::string> GitLogWalkerOperation::title() const {
  if (logWalker && logWalker->descriptor().hasQuery()) return "Searching history";
  return std::nullopt;
}

pledge::Void GitLogWalkerOperation::execute(GitOperationContext& context) {
  if (!logWalker) return {};
  std::lock_guard lock(logWalker->iterLock);
  if (logWalker->invalidated()) return {};
  auto repo = arbor::Repo::openAtPath(repositoryPath(context));
  if (!logWalker->descriptor().hasQuery()) {
    runPage(repo, context);
    return {};
  }
  try {
    runSearch(repo, context);
  } catch (...) {
    // Going on after a commit that could not be searched would skip it.
    logWalker->invalidate();
    throw;
  }
  return {};
}

void GitLogWalkerOperation::runPage(const arbor::Repo& repo, GitOperationContext& context) {
  GitLogWalker& walker = *logWalker;
  const size_t chunkLimit = std::max<size_t>(chunkSize, 1);
  size_t appended = 0;
  while (appended < pageSize && !isCancelled()) {
    std::vector<GitLogEntry> chunk;
    const size_t wanted = std::min(chunkLimit, pageSize - appended);
    chunk.reserve(wanted);
    bool exhausted = false;
    while (chunk.size() < wanted && !walker.invalidated()) {
      auto entry = nextOrEnd(walker, [&] { return walker.nextEntry(repo, context); });
      if (!entry) {
        exhausted = true;
        break;
      }
      chunk.push_back(std::move(*entry));
    }
    appended += chunk.size();
    if (!chunk.empty() && !walker.appendEntries(std::move(chunk))) return;
    // The end of the walk is known as soon as it is met; no empty run is
    // needed to find it.
    if (exhausted) walker.invalidate();
    if (walker.invalidated()) return;
  }
}

void GitLogWalkerOperation::runSearch(const arbor::Repo& repo, GitOperationContext& context) {
  GitLogWalker& walker = *logWalker;
  detail::GitQueryMatcher matcher(*walker.descriptor().query);
  size_t delivered = 0;
  auto deliver = [&](GitLogEntry entry) {
    if (!walker.appendEntries({std::move(entry)})) return false;
    return ++delivered < kSearchLimit;
  };
  auto noteSearched = [&] {
    size_t searched = walker.searched_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (searched % 1000 == 0) reportSearched(*this, searched);
  };

  while (!walker.carriedMatches_.empty()) {
    GitLogEntry entry = std::move(walker.carriedMatches_.front());
    walker.carriedMatches_.erase(walker.carriedMatches_.begin());
    if (!deliver(std::move(entry))) return;
  }

  if (!matcher.needsChangeSearch()) {
    // Matching the message, id and signatures is cheaper than handing rows
    // to other threads.
    while (!walker.invalidated() && !isCancelled()) {
      auto entry = nextOrEnd(walker, [&] { return walker.nextEntry(repo, context); });
      if (!entry) {
        walker.invalidate();
        break;
      }
      noteSearched();
      if (auto match = matcher.match(*entry, repo)) {
        entry->queryMatch = std::move(*match);
        if (!deliver(std::move(*entry))) break;
      }
    }
    reportSearched(*this, walker.searchedCount());
    return;
  }

  size_t threads = searchThreads ? searchThreads : std::max(1u, std::thread::hardware_concurrency());
  const size_t window = 64 * threads;
  ParallelMatcher parallel(matcher, repositoryPath(context), threads);
  bool exhausted = false;
  bool full = false;
  for (;;) {
    while (!exhausted && !full && parallel.inFlight() < window && !walker.invalidated() && !isCancelled()) {
      auto candidate = nextOrEnd(walker, [&] { return walker.nextCandidate(repo, context); });
      if (!candidate) exhausted = true;
      else parallel.add(std::move(*candidate));
    }
    auto result = parallel.takeOldest();
    if (!result) break;
    noteSearched();
    if (!*result) continue;
    if (full) {
      // Commits already taken from the walk must not be lost: their matches
      // open the next run.
      walker.carriedMatches_.push_back(std::move(**result));
    } else if (!deliver(std::move(**result))) {
      full = true;
    }
    if (walker.invalidated() || isCancelled()) break;
  }
  if (exhausted && walker.carriedMatches_.empty()) walker.invalidate();
  // A cancelled run dropped commits it had taken from the walk; going on
  // from there would silently skip them.
  if (isCancelled()) walker.invalidate();
  reportSearched(*this, walker.searchedCount());
}

} // namespace tavrik
