// Queues over scratch repositories for the reader tests: the build's git
// prefix, a hermetic environment (no login-shell probe, no user config), and
// a helper that runs an operation on its queue and waits for its result.
#pragma once

#include "Support/ScratchRepo.h"
#include "tavrik/Process/Shell.h"
#include "tavrik/Queue/GitOperation.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Queue/GitRepositoryDescriptor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>

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

inline std::shared_ptr<GitQueue> makeReaderQueue(std::optional<GitRepositoryDescriptor> descriptor) {
  makeGitEnvironmentHermetic();
  // The children get this process's (hermetic) environment, not a login shell's.
  Shell::setDefaultShell(nullptr);
  return GitQueue::create(std::move(descriptor), nullptr, Url::fileURL(testPrefix().string(), true));
}

/// Enqueues the operation and waits for its value (throws its error).
template <class Op> auto runOn(const std::shared_ptr<GitQueue>& queue, const std::shared_ptr<Op>& op) {
  return op->enqueue(queue).wait(std::chrono::seconds(60)).value;
}

/// Counts the view-change notifications of a queue and the aspects they carry.
class ChangeRecorder : public GitQueueObserver {
public:
  void gitQueueDidChange(const std::shared_ptr<GitQueue>&, GitAspects aspects) override {
    ++posts;
    std::lock_guard lock(mutex);
    all = all | aspects;
  }
  GitAspects seen() {
    std::lock_guard lock(mutex);
    return all;
  }
  std::atomic<int> posts{0};

private:
  std::mutex mutex; // guards all
  GitAspects all;
};

} // namespace tavrik::testing
