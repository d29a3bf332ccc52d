// The visible progress of one operation: a fixed title, a status line and a
// percentage, which the client shows while the operation is queued or runs.
//
// The status line and percentage are guarded by the task's own lock. The
// delegate is told of each real change synchronously on the thread that made
// it, after the new value is stored and the lock released, so a delegate may
// read the task (or change it) from inside `gitTaskDidChange`.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tavrik {

class GitTask;
class GitQueueOperation;

class GitTaskDelegate {
public:
  virtual ~GitTaskDelegate() = default;
  /// Called after `string` or `progress` changed, on the changing thread, with no lock held.
  virtual void gitTaskDidChange(const std::shared_ptr<GitTask>& task) = 0;
};

class GitTask : public std::enable_shared_from_this<GitTask> {
public:
  /// Use `create`: the delegate is handed the task as a shared_ptr.
  GitTask(std::optional<std::string> title, std::weak_ptr<GitQueueOperation> parentOperation);
  static std::shared_ptr<GitTask> create(std::optional<std::string> title,
                                         std::weak_ptr<GitQueueOperation> parentOperation);

  /// The parent operation's title, as it was when the operation was made.
  const std::optional<std::string>& title() const { return title_; }

  std::optional<std::string> string() const;
  /// Stores the status line; a value equal to the current one (both absent,
  /// or equal text) changes nothing and notifies nobody.
  void setString(std::optional<std::string> value);

  /// Percent done.
  std::optional<int> progress() const;
  /// Stores the percentage; an equal value changes nothing and notifies nobody.
  void setProgress(std::optional<int> value);

  /// The progress as a floating-point number; nullopt when there is none.
  std::optional<double> doubleValue() const;

  std::shared_ptr<GitTaskDelegate> delegate() const;
  /// Held weakly.
  void setDelegate(const std::shared_ptr<GitTaskDelegate>& delegate);

  /// The owning operation, while it exists.
  std::shared_ptr<GitQueueOperation> parentOperation() const { return parentOperation_.lock(); }
  /// True while the parent operation exists and has not finished.
  bool isValid() const;
  /// Cancels the parent operation, if it still exists.
  void cancel();

  /// "Working..." and 0.
  void setWorking();
  /// "Done." and 100.
  void setDone();

private:
  /// Stores both fields in one critical section, then tells the delegate
  /// once per field that changed.
  void update(std::optional<std::optional<std::string>> string, std::optional<std::optional<int>> progress);

  const std::optional<std::string> title_;
  const std::weak_ptr<GitQueueOperation> parentOperation_;

  mutable std::mutex _lock; // guards _string, _progress and _delegate
  std::optional<std::string> _string;
  std::optional<int> _progress;
  std::weak_ptr<GitTaskDelegate> _delegate;
};

} // namespace tavrik
