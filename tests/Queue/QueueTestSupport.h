// Small helpers shared by the queue tests: a thread-safe event recorder, a
// log capture, an overlap meter and a queue observer that counts aspects.
#pragma once

#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Util/Log.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tavrik::testing {

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
    size_t n = 0;
    for (const auto& e : events_) n += e == event;
    return n;
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

/// Captures every emitted log line while alive.
class LogCapture {
public:
  explicit LogCapture(bool debug = false) : wasDebug_(isDebugLoggingEnabled()) {
    setDebugLoggingEnabled(debug);
    setLogSink([this](LogLevel level, std::string_view, std::string_view message) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(level, std::string(message));
    });
  }
  ~LogCapture() {
    setLogSink({});
    setDebugLoggingEnabled(wasDebug_);
  }
  std::vector<std::pair<LogLevel, std::string>> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

private:
  bool wasDebug_;
  mutable std::mutex mutex_;
  std::vector<std::pair<LogLevel, std::string>> lines_;
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

/// Counts the view-change notifications a queue posts.
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

} // namespace tavrik::testing
