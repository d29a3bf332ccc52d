// Helpers shared by the suites: queues over the scenario repositories (the
// build's git prefix, a hermetic environment, no login-shell probe), a way
// to run an operation and wait for it, thread-safe recorders, a log capture,
// an overlap meter, the hash-against-equality check and git's view of the
// file-system monitor.
#pragma once

#include "Support/RandomSeeds.h"
#include "Support/ScenarioRepo.h"
#include "tavrik/Process/GitStdError.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Operation/GitRepositoryDescriptor.h"
#include "tavrik/State/GitStateFile.h"
#include "tavrik/Util/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tavrik::testing {

inline GitRepositoryDescriptor worktreeDescriptor(const std::filesystem::path& path) {
  return GitRepositoryDescriptor::uncheckedWorktree(Url::fileURL(path.string(), true), false);
}

inline GitRepositoryDescriptor bareDescriptor(const std::filesystem::path& path) {
  GitRepositoryDescriptor d;
  d.url = d.gitURL = d.commonURL = Url::fileURL(path.string(), true);
  d.isBare = true;
  d.displayName = d.url.lastPathComponent();
  return d;
}

/// What git's in-progress markers in the repository's .git say.
inline GitState gitState(const GitDir& repo) {
  return GitStateFileSet::read(Url::fileURL((repo.path() / ".git").string(), true)).state;
}

/// A queue whose git children get this process's hermetic environment.
inline std::shared_ptr<GitQueue> makeReaderQueue(std::optional<GitRepositoryDescriptor> descriptor) {
  makeGitEnvironmentHermetic();
  Shell::setDefaultShell(nullptr);
  return GitQueue::create(std::move(descriptor), nullptr, Url::fileURL(testPrefix().string(), true));
}

inline std::shared_ptr<GitQueue> readerQueue(const GitDir& repo) { return makeReaderQueue(worktreeDescriptor(repo.path())); }

/// git's fsmonitor hook as git runs it (`bin/fsmonitor 2 TOKEN`) in `repo`
/// with `environment` (a watcher's `fsmonitorEnvironment()`); the answer's
/// NULs become line feeds.
inline std::string askFsmonitor(const GitDir& repo, const std::map<std::string, std::string>& environment,
                                const std::string& token) {
  std::string script = "env";
  for (auto& [name, value] : environment) script += " " + name + "='" + value + "'";
  script += " '" + (testPrefix() / "bin" / "fsmonitor").string() + "' 2 '" + token + "' | tr '\\0' '\\n'";
  return runScript(script, repo.path());
}

/// Enqueues the operation and waits for its value (throws its error).
template <class Op> auto runOn(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<Op>& op) {
  auto future = op->enqueue(queue);
  // The worker drops its references first: ThreadSanitizer cannot see the
  // uninstrumented reference count of a shared exception_ptr.
  queue->waitUntilAllOperationsAreFinished();
  return future.wait(std::chrono::seconds(60)).value;
}

/// The git error `run` fails with; a test failure (and an error of status 0)
/// when it does not fail so.
template <class F> GitStdError gitFailure(F&& run) {
  try {
    run();
  } catch (const GitStdError& error) {
    return error;
  }
  ADD_FAILURE() << "expected a git failure";
  return GitStdError(0, std::nullopt);
}

class Recorder {
public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  size_t count(const std::string& event) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count(events_.begin(), events_.end(), event));
  }

private:
  mutable std::mutex mutex_; // guards events_
  std::vector<std::string> events_;
};

/// Captures every emitted log line while alive.
class LogCapture {
public:
  struct Line {
    LogLevel level;
    std::string category;
    std::string message;
  };
  explicit LogCapture(bool debug = false) : wasDebug_(isDebugLoggingEnabled()) {
    setDebugLoggingEnabled(debug);
    setLogSink([this](LogLevel level, std::string_view category, std::string_view message) {
      std::lock_guard lock(mutex_);
      lines_.push_back({level, std::string(category), std::string(message)});
    });
  }
  ~LogCapture() {
    setLogSink({});
    setDebugLoggingEnabled(wasDebug_);
  }
  std::vector<Line> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> messages(std::optional<LogLevel> level = std::nullopt) const {
    std::vector<std::string> out;
    for (const auto& line : lines())
      if (!level || line.level == *level) out.push_back(line.message);
    return out;
  }

private:
  bool wasDebug_;
  mutable std::mutex mutex_; // guards lines_
  std::vector<Line> lines_;
};

/// Tracks how many callers are inside a region at the same moment.
struct OverlapMeter {
  std::atomic<int> current{0};
  std::atomic<int> maximum{0};
  void enter() {
    int now = ++current;
    int seen = maximum.load();
    while (now > seen && !maximum.compare_exchange_weak(seen, now)) {
    }
  }
  void leave() { --current; }
};

/// Counts the view-change notifications a queue posts and what they carry.
struct CountingObserver : GitQueueObserver {
  std::atomic<int> calls{0};
  std::atomic<int> queueTasks{0};
  Recorder received;
  void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects aspects) override {
    ++calls;
    if (aspects.contains(GitAspects::queueTasks)) ++queueTasks;
    received.add(aspects.debugDescription());
  }
};

/// Every pair of equal values hashes alike; distinct values mostly apart.
template <class T> void expectHashAgreesWithEquality(const std::vector<T>& values) {
  std::hash<T> hasher;
  std::set<size_t> distinctHashes;
  size_t distinctValues = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    bool seenEqual = false;
    for (size_t j = 0; j < values.size(); ++j) {
      if (!(values[i] == values[j])) continue;
      EXPECT_EQ(hasher(values[i]), hasher(values[j])) << "values " << i << " and " << j << " are equal";
      seenEqual = seenEqual || j < i;
    }
    if (!seenEqual) {
      ++distinctValues;
      distinctHashes.insert(hasher(values[i]));
    }
  }
  EXPECT_GT(distinctHashes.size(), distinctValues / 2) << "hash ignores most fields";
}

} // namespace tavrik::testing
