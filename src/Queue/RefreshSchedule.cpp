#include "Queue/RefreshSchedule.h"

#include <algorithm>

namespace tavrik::detail {

namespace {

// Beyond this many changed paths the ignore check costs more than the
// refresh it might save.
constexpr size_t kMaximumCandidates = 20000;

} // namespace

RefreshSchedule::RefreshSchedule(const GitRepositoryWatcherOptions& options, Now now)
    : options_(options), now_(std::move(now)) {}

void RefreshSchedule::noteChange(GitAspects aspects) {
  if (aspects.isEmpty()) return;
  pending_.insert(aspects);
  touch();
}

void RefreshSchedule::noteCandidate(std::string path) {
  if (candidates_.size() >= kMaximumCandidates) {
    noteChange(GitAspects::status);
    return;
  }
  candidates_.insert(std::move(path));
  touch();
}

void RefreshSchedule::touch() {
  auto now = now_();
  lastChange_ = now;
  if (!firstChange_) firstChange_ = now;
}

void RefreshSchedule::operationWillRun() { ++activeRuns_; }

void RefreshSchedule::operationDidRun() {
  if (activeRuns_ > 0) --activeRuns_;
}

void RefreshSchedule::covered(GitAspects aspects) {
  pending_.subtract(aspects);
  if (aspects.contains(GitAspects::status)) candidates_.clear();
  if (pending_.isEmpty() && candidates_.empty()) firstChange_.reset();
}

void RefreshSchedule::poll(GitAspects aspects) {
  if (polled_.isEmpty() && !aspects.isEmpty()) nextPoll_ = now_() + options_.fallbackInterval;
  polled_.insert(aspects);
}

// While operations run, changes wait for their end (their own refreshes will
// cover most of them), but never past the maximum delay.
std::optional<RefreshSchedule::Clock::time_point> RefreshSchedule::changesDue() const {
  if (!firstChange_) return std::nullopt;
  auto latest = *firstChange_ + options_.maximumDelay;
  return activeRuns_ > 0 ? latest : std::min(lastChange_ + options_.quietPeriod, latest);
}

std::optional<RefreshSchedule::Clock::time_point> RefreshSchedule::dueTime() const {
  auto due = changesDue();
  if (!polled_.isEmpty()) due = due ? std::min(*due, nextPoll_) : nextPoll_;
  return due;
}

std::optional<std::chrono::milliseconds> RefreshSchedule::timeUntilDue() const {
  auto due = dueTime();
  if (!due) return std::nullopt;
  // Rounded up, so a wake-up never comes a little early and finds nothing due.
  return std::max(std::chrono::ceil<std::chrono::milliseconds>(*due - now_()), std::chrono::milliseconds(0));
}

RefreshSchedule::Due RefreshSchedule::takeDue() {
  Due due;
  auto now = now_();
  if (auto changes = changesDue(); changes && now >= *changes) {
    due.aspects = pending_;
    due.candidates.assign(candidates_.begin(), candidates_.end());
    pending_ = {};
    candidates_.clear();
    firstChange_.reset();
  }
  if (!polled_.isEmpty() && now >= nextPoll_) {
    due.aspects.insert(polled_);
    nextPoll_ = now + options_.fallbackInterval;
  }
  return due;
}

} // namespace tavrik::detail
