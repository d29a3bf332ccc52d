#include "ProgressBar.h"

#include <algorithm>
#include <unistd.h>

namespace tavrik::cli {

ProgressBar::ProgressBar(FILE* stream) : stream_(stream), enabled_(isatty(fileno(stream)) != 0) {}

ProgressBar::~ProgressBar() { finish(); }

std::string ProgressBar::render(const std::string& title, std::optional<int> percent, const std::string& status,
                                int width) {
  int p = std::clamp(percent.value_or(0), 0, 100);
  int filled = width * p / 100;
  std::string line = title + " [" + std::string(static_cast<size_t>(filled), '#') +
                     std::string(static_cast<size_t>(width - filled), ' ') + "] ";
  std::string number = std::to_string(p);
  line += std::string(3 - std::min<size_t>(3, number.size()), ' ') + number + "%";
  if (!status.empty()) line += " " + status;
  return line;
}

void ProgressBar::gitQueueDidChange(const std::shared_ptr<GitQueue>& queue, GitAspects aspects) {
  if (!enabled_ || !aspects.contains(GitAspects::queueTasks)) return;
  auto self = shared_from_this();
  // Setting the same delegate again is harmless, so every listed task gets it.
  for (const auto& task : queue->tasks()) task->setDelegate(self);
}

void ProgressBar::gitTaskDidChange(const std::shared_ptr<GitTask>& task) {
  if (!enabled_) return;
  std::string line = render(task->title().value_or("Working"), task->progress(), task->string().value_or(""), 30);
  if (line.size() > 120) line.resize(120);
  std::lock_guard lock(mutex_);
  std::fprintf(stream_, "\r\033[K%s", line.c_str());
  std::fflush(stream_);
  drawn_ = true;
  line_ = std::move(line);
}

void ProgressBar::withLineCleared(const std::function<void()>& write) {
  std::lock_guard lock(mutex_);
  if (drawn_) {
    std::fprintf(stream_, "\r\033[K");
    std::fflush(stream_);
  }
  write();
  if (drawn_) {
    std::fprintf(stream_, "%s", line_.c_str());
    std::fflush(stream_);
  }
}

void ProgressBar::finish() {
  std::lock_guard lock(mutex_);
  if (!drawn_) return;
  std::fprintf(stream_, "\r\033[K");
  std::fflush(stream_);
  drawn_ = false;
}

} // namespace tavrik::cli
