// Shows the progress of a queue's visible tasks as a bar on a terminal.
#pragma once

#include "tavrik/Queue/GitQueue.h"
#include "tavrik/Operation/GitTask.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

namespace tavrik::cli {

/// Observes a queue's task list and draws one line, rewritten in place, for
/// the task that changed last: "Title [#####     ]  50% status". Draws only
/// when `stream` is a terminal.
class ProgressBar : public GitQueueObserver,
                    public GitTaskDelegate,
                    public std::enable_shared_from_this<ProgressBar> {
public:
  explicit ProgressBar(FILE* stream);
  ~ProgressBar() override;

  void gitQueueDidChange(const std::shared_ptr<GitQueue>& queue, GitAspects aspects) override;
  void gitTaskDidChange(const std::shared_ptr<GitTask>& task) override;
  /// Clears the line if one was drawn.
  void finish();
  /// Runs `write` (which prints to the same terminal) with the line cleared,
  /// then draws the line again, so output and the bar never share a line.
  void withLineCleared(const std::function<void()>& write);

  /// The bar text for a title, percent and status line, `width` cells of bar.
  static std::string render(const std::string& title, std::optional<int> percent, const std::string& status, int width);

private:
  FILE* stream_;
  bool enabled_;
  std::mutex mutex_; // guards drawn_ and line_, and serialises drawing
  bool drawn_ = false;
  std::string line_;
};

} // namespace tavrik::cli
